// picture_test.cpp: picture data and whole files: the GIF test, the JPEG stream's bounds, the frame,
// pictures written to files and files read into handles, through the plug-in's binary interface.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "support/faults.h"
#include "transfer/transfer.h"
#include "transfer_support.h"

namespace zor::test {
namespace {

constexpr int32_t kPictureInfo = 47;
constexpr int32_t kPictureToFile = 57;
constexpr int32_t kFileToPicture = 58;
constexpr int8_t kLocked = static_cast<int8_t>(HostHandleLocked);

// Picture data: the 10-byte header (size, top, left, bottom, right in this machine's order), then body.
std::string PictureBytes(int16_t top, int16_t left, int16_t bottom, int16_t right, std::string_view body) {
    const int16_t fields[5] = {static_cast<int16_t>(10 + body.size()), top, left, bottom, right};
    std::string bytes(reinterpret_cast<const char*>(fields), sizeof fields);
    return bytes.append(body);
}

// Picture data of `size` bytes holding a JPEG stream from `start` to the D9 at `end`; nowhere else
// an FF byte, so no other marker.
std::string JpegPicture(int32_t size, int32_t start, int32_t end) {
    std::string bytes = PatternBytes(static_cast<size_t>(size), 7);
    for (char& c : bytes)
        if (static_cast<unsigned char>(c) == 0xFF) c = 0x11;
    bytes[start] = '\xFF';
    bytes[start + 1] = '\xD8';
    bytes[end - 1] = '\xFF';
    bytes[end] = '\xD9';
    return bytes;
}

// The picture-result command 58.
HostHandle CallFileToPicture(PluginHost& host, Text& name) {
    HostHandle result = reinterpret_cast<HostHandle>(0x5A5A5A5A);
    host.Call(kFileToPicture, {&name.block}, &result);
    return result;
}
HostHandle CallFileToPicture(PluginHost& host, const std::string& path) {
    Text name(path);
    return CallFileToPicture(host, name);
}

// ---- Names and bounds -------------------------------------------------------------------------------

TEST(FileNames, UsableTextsGiveTheirCharacters) {
    Text plain("/tmp/some file.txt");
    EXPECT_STREQ(transfer::FileNameFromText(plain.block).bytes, "/tmp/some file.txt");
    Text longest("/tmp/" + std::string(249, 'a'));
    EXPECT_EQ(std::strlen(transfer::FileNameFromText(longest.block).bytes), 254u);
    // Mac Roman, as the host keeps texts, names the UTF-8 file on disk, as the file layer has it.
    Text accented("/tmp/R\x8Esum\x8E");
    EXPECT_STREQ(transfer::FileNameFromText(accented.block).bytes, "/tmp/R\xC3\xA9sum\xC3\xA9");
    Text shorter("abcdef");
    shorter.block.length = 3;  // the count, not the handle's size, says how many characters count
    EXPECT_STREQ(transfer::FileNameFromText(shorter.block).bytes, "abc");
}

TEST(FileNames, UnusableTextsGiveAnEmptyPath) {
    Text tooLong(std::string(255, 'a'));
    Text negative("abc");
    negative.block.length = -1;
    Text overCount("abc");
    overCount.block.length = 10;  // more characters than the handle holds: never read past it
    Text withNul(std::string("/tmp/a\0/etc/passwd", 18));
    TextBlock noHandle{5, nullptr};
    for (const TextBlock* t : {&tooLong.block, &negative.block, &overCount.block, &withNul.block, &noHandle})
        EXPECT_STREQ(transfer::FileNameFromText(*t).bytes, "");
}

TEST(JpegBounds, FindsTheStreamFromItsFirstToItsLastMarkerByte) {
    HostHandle h = NewHandleWith(JpegPicture(12000, 512, 10511));
    transfer::JpegBounds b = transfer::JpegRange(h);
    EXPECT_EQ(b.start, 512);
    EXPECT_EQ(b.end, 10511);
    HostDisposeHandle(h);
}

TEST(JpegBounds, NoCompleteStreamAfterOffsetZero) {
    struct Case {
        std::string data;
        int32_t start, end;
    } cases[] = {
        {"no markers here", -1, 0},
        {"\xFF\xD8 at the very start \xFF\xD9", 0, 0},
        {"open \xFF\xD8 never closed", 0, 0},
        {"closed \xFF\xD9 before \xFF\xD8 opens", 0, 0},
        {"", -1, 0},
        {"\xFF", -1, 0},
        {"ab\xFF\xD8\xFF\xD9", 2, 5},
    };
    for (const Case& c : cases) {
        HostHandle h = NewHandleWith(c.data);
        transfer::JpegBounds b = transfer::JpegRange(h);
        EXPECT_EQ(b.start, c.start) << c.data;
        EXPECT_EQ(b.end, c.end) << c.data;
        HostDisposeHandle(h);
    }
    transfer::JpegBounds none = transfer::JpegRange(nullptr);
    EXPECT_EQ(none.end, 0);
}

// ---- PictureInfo ------------------------------------------------------------------------------------

TEST(PictureInfo, ReportsSizeSignedFrameAndGifFlag) {
    PluginHost host;
    HostHandle picture = NewHandleWith(PictureBytes(-20, 7, 300, -32768, "rest of the picture"));
    HostLockHandle(picture);
    int32_t top = 1, left = 1, bottom = 1, right = 1, gif = 9;
    EXPECT_EQ(host.CallInt(kPictureInfo, {&picture, &top, &left, &bottom, &right, &gif}), 29);
    EXPECT_EQ(top, -20);
    EXPECT_EQ(left, 7);
    EXPECT_EQ(bottom, 300);
    EXPECT_EQ(right, -32768);
    EXPECT_EQ(gif, 0);
    EXPECT_EQ(HostGetHandleState(picture), kLocked) << "lock state kept";
    HostDisposeHandle(picture);

    HostHandle gifData = NewHandleWith(std::string("GIF89a\x0A\x00\x14\x00rest", 14));
    EXPECT_EQ(host.CallInt(kPictureInfo, {&gifData, &top, &left, &bottom, &right, &gif}), 14);
    EXPECT_EQ(gif, 1);
    EXPECT_EQ(HostGetHandleState(gifData), 0) << "an unlocked handle stays unlocked";
    HostDisposeHandle(gifData);
}

TEST(PictureInfo, NullOrShortDataGiveZeroFrameAndNoOverread) {
    PluginHost host;
    int32_t top = 5, left = 5, bottom = 5, right = 5, gif = 5;
    HostHandle none = nullptr;
    EXPECT_EQ(host.CallInt(kPictureInfo, {&none, &top, &left, &bottom, &right, &gif}), 0);
    EXPECT_EQ(top | left | bottom | right | gif, 0);

    // Nine bytes: one short of the frame. The sanitizer build would catch a read of the tenth.
    HostHandle shortGif = NewHandleWith("GIF8XXXXX");
    top = left = bottom = right = gif = 5;
    EXPECT_EQ(host.CallInt(kPictureInfo, {&shortGif, &top, &left, &bottom, &right, &gif}), 9);
    EXPECT_EQ(top | left | bottom | right, 0);
    EXPECT_EQ(gif, 1);
    HostDisposeHandle(shortGif);

    HostHandle three = NewHandleWith("GIF");
    EXPECT_EQ(host.CallInt(kPictureInfo, {&three, &top, &left, &bottom, &right, &gif}), 3);
    EXPECT_EQ(gif, 0);
    HostDisposeHandle(three);
}

// ---- PictureToFile ----------------------------------------------------------------------------------

TEST(PictureToFile, GifWholeJpegStreamAloneOtherwiseWholeData) {
    PluginHost host;
    TempDir folder;
    Text name(folder.File("out.bin"));

    const std::string gif = "GIF89a" + PatternBytes(5000, 1) + "\xFF\xD8 x \xFF\xD9";
    const std::string jpeg = JpegPicture(12000, 512, 10511);
    const std::string neither = PictureBytes(0, 0, 10, 10, "plain picture data, no markers");
    const std::string atZero = "\xFF\xD8 stream at offset zero \xFF\xD9";
    const std::string unclosed = PictureBytes(0, 0, 1, 1, "\xFF\xD8 never closed");
    struct Case {
        const std::string& data;
        std::string expected;
    } cases[] = {
        {gif, gif},
        {jpeg, jpeg.substr(512, 10000)},
        {neither, neither},
        {atZero, atZero},
        {unclosed, unclosed},
    };
    for (const Case& c : cases) {
        HostHandle picture = NewHandleWith(c.data);
        EXPECT_EQ(host.CallInt(kPictureToFile, {&picture, &name.block}), 0);
        EXPECT_EQ(ReadFile(folder.File("out.bin")), c.expected);
        HostDisposeHandle(picture);
    }
}

TEST(PictureToFile, TruncatesAnExistingFileAndKeepsTheLockState) {
    PluginHost host;
    TempDir folder;
    WriteFile(folder.File("old"), std::string(100000, 'o'));
    Text name(folder.File("old"));
    HostHandle picture = NewHandleWith("short data");
    for (int8_t state : {int8_t{0}, kLocked}) {
        HostSetHandleState(picture, state);
        EXPECT_EQ(host.CallInt(kPictureToFile, {&picture, &name.block}), 0);
        EXPECT_EQ(ReadFile(folder.File("old")), "short data");
        EXPECT_EQ(HostGetHandleState(picture), state);
    }
    HostDisposeHandle(picture);
}

TEST(PictureToFile, NullHandleWritesAnEmptyFile) {
    PluginHost host;
    TempDir folder;
    Text name(folder.File("empty"));
    HostHandle none = nullptr;
    EXPECT_EQ(host.CallInt(kPictureToFile, {&none, &name.block}), 0);
    EXPECT_TRUE(FileExists(folder.File("empty")));
    EXPECT_EQ(ReadFile(folder.File("empty")), "");
}

TEST(PictureToFile, FailuresGiveThePlatformErrorAndCloseTheFile) {
    PluginHost host;
    TempDir folder;
    HostHandle picture = NewHandleWith(PatternBytes(70000, 3));

    Text missingFolder(folder.File("no/such/folder/file"));
    EXPECT_EQ(host.CallInt(kPictureToFile, {&picture, &missingFolder.block}), ENOENT);
    Text emptyName("");
    EXPECT_EQ(host.CallInt(kPictureToFile, {&picture, &emptyName.block}), ENOENT);
    Text full("/dev/full");
    EXPECT_EQ(host.CallInt(kPictureToFile, {&picture, &full.block}), ENOSPC);

    Text name(folder.File("broken"));
    const int descriptors = OpenDescriptors();
    {
        WriteFailure failure(1, EIO);
        EXPECT_EQ(host.CallInt(kPictureToFile, {&picture, &name.block}), EIO);
        EXPECT_TRUE(failure.fired());
    }
    EXPECT_EQ(OpenDescriptors(), descriptors) << "the file is closed";
    HostDisposeHandle(picture);
}

TEST(PictureToFile, WritesTheJpegThatAnImageReaderAccepts) {
    PluginHost host;
    TempDir folder;
    RunPython("import sys\nfrom PIL import Image\n"
              "im = Image.new('RGB', (64, 48))\n"
              "im.putdata([(x * 4, y * 5, (x ^ y) & 255) for y in range(48) for x in range(64)])\n"
              "im.save(sys.argv[1], 'JPEG', quality=90)\n",
              {folder.File("made.jpg")});
    const std::string jpeg = ReadFile(folder.File("made.jpg"));
    ASSERT_GT(jpeg.size(), 100u);
    // The stream sits after 512 bytes of header and other data, with more data after it.
    std::string data = PictureBytes(0, 0, 48, 64, std::string(502, 'h')) + jpeg + "trailing data";
    HostHandle picture = NewHandleWith(data);
    Text name(folder.File("written.jpg"));
    EXPECT_EQ(host.CallInt(kPictureToFile, {&picture, &name.block}), 0);
    EXPECT_EQ(ReadFile(folder.File("written.jpg")), jpeg);
    EXPECT_EQ(RunPython("import sys\nfrom PIL import Image\n"
                        "im = Image.open(sys.argv[1]); im.load(); print(im.format, im.size[0], im.size[1])\n",
                        {folder.File("written.jpg")}),
              "JPEG 64 48\n");
    HostDisposeHandle(picture);
}

// ---- FileToPicture ----------------------------------------------------------------------------------

TEST(FileToPicture, ReadsTheWholeFile) {
    PluginHost host;
    TempDir folder;
    const std::string bytes = PatternBytes(300000, 9);
    WriteFile(folder.File("data"), bytes);
    HostHandle h = CallFileToPicture(host, folder.File("data"));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(HandleBytes(h), bytes);
    HostDisposeHandle(h);

    WriteFile(folder.File("empty"), "");
    h = CallFileToPicture(host, folder.File("empty"));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(HostGetHandleSize(h), 0);
    HostDisposeHandle(h);
}

TEST(FileToPicture, NoHandleWhenTheFileCannotBeOpenedReadOrHeld) {
    PluginHost host;
    TempDir folder;
    WriteFile(folder.File("data"), PatternBytes(5000, 4));
    Text data(folder.File("data"));
    const int64_t live = HostLiveAllocations();
    EXPECT_EQ(CallFileToPicture(host, folder.File("missing")), nullptr);
    EXPECT_EQ(CallFileToPicture(host, ""), nullptr);
    // A folder opens but cannot be read: no handle of unread bytes.
    mkdir(folder.File("folder").c_str(), 0700);
    EXPECT_EQ(CallFileToPicture(host, folder.File("folder")), nullptr);

    const int descriptors = OpenDescriptors();
    {
        ReadFailure failure(1, EIO);
        EXPECT_EQ(CallFileToPicture(host, data), nullptr);
    }
    {
        AllocationFailure failure(1);
        EXPECT_EQ(CallFileToPicture(host, data), nullptr);
        EXPECT_TRUE(failure.fired());
    }
    EXPECT_EQ(OpenDescriptors(), descriptors) << "the file is closed";
    EXPECT_EQ(HostLiveAllocations(), live) << "nothing left behind";
}

// ---- Files that are not plain data files ----------------------------------------------------------

constexpr int32_t kTcpSendFile = 12;
constexpr int32_t kTcpReceiveFile = 13;

// Devices and FIFOs are read by no command: no handle, -1 for a send, and no open that waits for a
// FIFO's writer (/dev/zero, with no size, would give an empty handle).
TEST(RawFiles, OnlyRegularFilesAreReadAndNoOpenWaits) {
    PluginHost host;
    TempDir folder;
    ASSERT_EQ(mkfifo(folder.File("fifo").c_str(), 0600), 0);
    const int32_t ref = TcpListen(host);
    ASSERT_NE(ref, 0);
    const int descriptors = OpenDescriptors();
    for (const std::string& path : {std::string("/dev/zero"), folder.File("fifo")}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(CallFileToPicture(host, path), nullptr);
        Text name(path);
        int32_t zero = 0, streamRef = ref;
        EXPECT_EQ(host.CallInt(kTcpSendFile, {&streamRef, &name.block, &zero, &zero, &zero, &zero}), -1);
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(TcpRelease(host, ref), 0);
}

// A file without write permission bits is locked for the raw writers as for the file model, also
// when the host runs as root (who could write it): the permission status, and the file as it was.
TEST(RawFiles, LockedFilesAreNotWrittenWhoeverRunsTheHost) {
    PluginHost host;
    TempDir folder;
    WriteFile(folder.File("locked"), "kept");
    ASSERT_EQ(chmod(folder.File("locked").c_str(), 0444), 0);
    Text name(folder.File("locked"));
    HostHandle picture = NewHandleWith("new data");
    EXPECT_EQ(host.CallInt(kPictureToFile, {&picture, &name.block}), EACCES);
    HostDisposeHandle(picture);
    const int32_t ref = TcpListen(host);
    ASSERT_NE(ref, 0);
    for (int32_t append : {0, 1}) {
        int32_t zero = 0, streamRef = ref;
        EXPECT_EQ(host.CallInt(kTcpReceiveFile, {&streamRef, &name.block, &zero, &append, &zero}), -1);
    }
    EXPECT_EQ(ReadFile(folder.File("locked")), "kept");
    EXPECT_EQ(TcpRelease(host, ref), 0);
}

// A size that says more than the file holds (a file cut short while it is read): the handle holds
// the bytes that were there, no unread ones.
int g_extraSize = 0;
int GrowingFstat(int fd, struct stat* status) {
    const int r = fstat(fd, status);
    status->st_size += g_extraSize;
    return r;
}

TEST(FileToPicture, AFileShorterThanItsSizeGivesTheBytesThatWereThere) {
    PluginHost host;
    TempDir folder;
    const std::string bytes = PatternBytes(5000, 10);
    WriteFile(folder.File("data"), bytes);
    Text data(folder.File("data"));
    const HostSystemCalls saved = *HostSystemCallTable();
    g_extraSize = 3000;
    HostSystemCallTable()->fstat = GrowingFstat;
    HostHandle h = CallFileToPicture(host, data);
    *HostSystemCallTable() = saved;
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(HandleBytes(h) == bytes);
    HostDisposeHandle(h);
}

TEST(FileToPicture, RoundTripOfARealGif) {
    PluginHost host;
    TempDir folder;
    RunPython("import sys\nfrom PIL import Image\n"
              "im = Image.new('P', (30, 20)); im.putdata([(x * y) % 7 for y in range(20) for x in range(30)])\n"
              "im.save(sys.argv[1], 'GIF')\n",
              {folder.File("made.gif")});
    HostHandle h = CallFileToPicture(host, folder.File("made.gif"));
    ASSERT_NE(h, nullptr);
    int32_t top = 0, left = 0, bottom = 0, right = 0, gif = 0;
    EXPECT_EQ(host.CallInt(kPictureInfo, {&h, &top, &left, &bottom, &right, &gif}),
              static_cast<int32_t>(ReadFile(folder.File("made.gif")).size()));
    EXPECT_EQ(gif, 1);
    Text out(folder.File("copy.gif"));
    EXPECT_EQ(host.CallInt(kPictureToFile, {&h, &out.block}), 0);
    EXPECT_EQ(RunPython("import sys, hashlib\n"
                        "a, b = (hashlib.sha256(open(p, 'rb').read()).hexdigest() for p in sys.argv[1:3])\n"
                        "print(a == b)\n",
                        {folder.File("made.gif"), folder.File("copy.gif")}),
              "True\n");
    HostDisposeHandle(h);
}

}  // namespace
}  // namespace zor::test
