// files_test.cpp: the Macintosh file encodings and the file commands with allocations failing, the
// disk filling up (ENOSPC: -34) and input/output errors (EIO: -36) at every write or read in turn:
// the status comes back, the source is untouched, and no other file changes.
#include <cerrno>
#include <string>

#include "sweep.h"

namespace zor::test {
namespace {

constexpr int32_t kMacBinaryEncode = 17, kMacBinaryDecode = 18, kBinHexEncode = 19, kBinHexDecode = 20;
constexpr int32_t kNoMemory = 2;

class FileFaults : public ::testing::Test {
protected:
    PluginHost host;
    TempDir folder;

    void SetUp() override { HostSetDurableFlush(false); }
    void TearDown() override { HostSetDurableFlush(true); }

    // A source file with both forks and Finder information; the encoded forms of it.
    void MakeSource() {
        WriteFile(folder / "source", Pattern(40000, 1));
        SetResourceFork(folder / "source", Pattern(3000, 2));
        HostFinderInfo finder{};
        const Str255 name(folder / "source");
        finder.type = HostResourceType("TEXT");
        finder.creator = HostResourceType("ttxt");
        ASSERT_EQ(HostSetFinderInfo(name.bytes, 0, &finder), HostNoErr);
        ASSERT_EQ(FileCommand(host, kMacBinaryEncode, folder / "source", folder / "source.bin"), 0);
        ASSERT_EQ(FileCommand(host, kBinHexEncode, folder / "source", folder / "source.hqx"), 0);
    }
    std::string Whole(const std::string& leaf) { return ReadFile(folder / leaf) + "|" + ResourceFork(folder / leaf); }
};

struct Job {
    int32_t selector;
    const char* from;
    const char* to;
};
constexpr Job kJobs[] = {
    {kMacBinaryEncode, "source", "out.bin"},
    {kMacBinaryDecode, "source.bin", "decoded"},
    {kBinHexEncode, "source", "out.hqx"},
    {kBinHexDecode, "source.hqx", "decoded"},
};

std::string Named(const Job& job) { return "command " + std::to_string(job.selector) + " from " + job.from; }

// With any one allocation failing, each command succeeds with the whole output or reports the
// shortage; the source never changes.
TEST_F(FileFaults, EncodingsUnderAllocationFailure) {
    MakeSource();
    for (const Job& job : kJobs) {
        SCOPED_TRACE(Named(job));
        const std::string source = Whole(job.from);
        ASSERT_EQ(FileCommand(host, job.selector, folder / job.from, folder / job.to), 0);
        const std::string expected = Whole(job.to);
        const int runs = SweepAllocations(
            [&] {
                std::remove((folder / job.to).c_str());
                std::remove((folder / ("._" + std::string(job.to))).c_str());
            },
            [&] { return FileCommand(host, job.selector, folder / job.from, folder / job.to); },
            [&](int32_t status, bool failed) {
                if (!failed) {
                    EXPECT_EQ(status, 0);
                }
                if (status == 0) {
                    EXPECT_TRUE(Whole(job.to) == expected) << "output differs";
                } else {
                    EXPECT_TRUE(status == kNoMemory || status == HostMemFullErr) << status;
                }
                EXPECT_TRUE(Whole(job.from) == source) << "the source changed";
            });
        EXPECT_GT(runs, 1);
    }
}

// Every write failing from the Nth on, with a full disk or an input/output error: that status, the
// source untouched, the other files as they were. The Nth write is moved on until the command
// finishes without meeting a failure.
TEST_F(FileFaults, EncodingsWhenWritesFail) {
    MakeSource();
    WriteFile(folder / "bystander", "other data");
    for (const Job& job : kJobs) {
        for (const int error : {ENOSPC, EIO}) {
            SCOPED_TRACE(Named(job) + (error == ENOSPC ? " disk full" : " I/O error"));
            const int16_t expected = error == ENOSPC ? HostDiskFullErr : HostIOErr;
            const std::string source = Whole(job.from);
            int n = 1;
            for (; n < 200; ++n) {
                std::remove((folder / job.to).c_str());
                std::remove((folder / ("._" + std::string(job.to))).c_str());
                const std::string others = FolderListing(folder.path);
                int32_t status = 0;
                bool fired = false;
                {
                    WriteFailure failure(n, error);
                    status = FileCommand(host, job.selector, folder / job.from, folder / job.to);
                    fired = failure.fired();
                }
                EXPECT_TRUE(Whole(job.from) == source) << "the source changed, write " << n;
                EXPECT_EQ(ReadFile(folder / "bystander"), "other data");
                EXPECT_EQ(HostOpenForkCount(), 0);
                if (!fired) {
                    EXPECT_EQ(status, 0);
                    break;
                }
                EXPECT_EQ(status, expected) << "write " << n;
                // Nothing but the destination (and its sidecar) may differ.
                std::remove((folder / job.to).c_str());
                std::remove((folder / ("._" + std::string(job.to))).c_str());
                std::string before = others;
                EXPECT_EQ(FolderListing(folder.path), before) << "write " << n;
                if (HasFailure()) return;
            }
            EXPECT_GT(n, 1);
        }
    }
}

// Reads of the source failing with an input/output error: the status comes back.
TEST_F(FileFaults, EncodingsWhenReadsFail) {
    MakeSource();
    for (const Job& job : kJobs) {
        SCOPED_TRACE(Named(job));
        const std::string source = Whole(job.from);
        int n = 1;
        for (; n < 200; ++n) {
            int32_t status = 0;
            bool fired = false;
            {
                ReadFailure failure(n, EIO);
                status = FileCommand(host, job.selector, folder / job.from, folder / job.to);
                fired = failure.fired();
            }
            EXPECT_TRUE(Whole(job.from) == source);
            EXPECT_EQ(HostOpenForkCount(), 0);
            if (!fired) {
                EXPECT_EQ(status, 0);
                break;
            }
            EXPECT_EQ(status, HostIOErr) << "read " << n;
            if (HasFailure()) return;
        }
        EXPECT_GT(n, 1);
    }
}

// PictureToFile gives the platform's error code when its writes fail; FileToPicture gives no handle
// when its reads fail, never a handle of garbage.
TEST_F(FileFaults, PictureFilesWhenWritesAndReadsFail) {
    const std::string bytes = Pattern(50000, 4);
    HostHandle picture = NewHandleWith("GIF89a" + bytes);
    for (const int error : {ENOSPC, EIO}) {
        int32_t status = 0;
        {
            WriteFailure failure(1, error);
            Text name(folder / "picture.gif");
            status = host.CallInt(57, {&picture, &name.block});
        }
        EXPECT_EQ(status, error);
    }
    HostDisposeHandle(picture);

    WriteFile(folder / "in.dat", bytes);
    HostHandle result = reinterpret_cast<HostHandle>(1);
    {
        ReadFailure failure(1, EIO);
        Text name(folder / "in.dat");
        host.Call(58, {&name.block}, &result);
        EXPECT_TRUE(failure.fired());
    }
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(ReadFile(folder / "in.dat"), bytes);
}

}  // namespace
}  // namespace zor::test
