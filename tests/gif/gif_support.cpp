// gif_support.cpp: pictures, a GIF reader, an LZW decoder and the peer decoders for the GIF tests.
#include "gif_support.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace zor::test::giftest {

void SystemColor(int index, uint8_t rgb[3]) {
    static const uint8_t cube[6] = {255, 204, 153, 102, 51, 0};
    static const uint8_t ramp[10] = {238, 221, 187, 170, 136, 119, 85, 68, 34, 17};
    rgb[0] = rgb[1] = rgb[2] = 0;
    if (index < 215) {
        rgb[0] = cube[index / 36];
        rgb[1] = cube[(index / 6) % 6];
        rgb[2] = cube[index % 6];
    } else if (index < 245) {
        rgb[(index - 215) / 10] = ramp[(index - 215) % 10];
    } else if (index < 255) {
        rgb[0] = rgb[1] = rgb[2] = ramp[index - 245];
    }
}

namespace {

uint32_t Crc32(const std::string& bytes, size_t from) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        ready = true;
    }
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = from; i < bytes.size(); ++i) c = table[(c ^ static_cast<uint8_t>(bytes[i])) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void Put32(std::string& s, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) s.push_back(static_cast<char>(v >> shift));
}

void Chunk(std::string& png, const char* type, const std::string& data) {
    Put32(png, static_cast<uint32_t>(data.size()));
    std::string body = std::string(type, 4) + data;
    png += body;
    Put32(png, Crc32(body, 0));
}

bool RunCommand(const std::string& command) {
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::string PngOf(const Indices& image) {
    std::string raw;
    raw.reserve(static_cast<size_t>(image.height) * (image.width * 3 + 1));
    for (int32_t y = 0; y < image.height; ++y) {
        raw.push_back(0);  // no filter
        for (int32_t x = 0; x < image.width; ++x) {
            uint8_t rgb[3];
            SystemColor(image.at(x, y), rgb);
            raw.append(reinterpret_cast<const char*>(rgb), 3);
        }
    }
    std::string z = "\x78\x01";
    for (size_t at = 0; at < raw.size() || at == 0; at += 65535) {
        const size_t n = raw.size() - at < 65535 ? raw.size() - at : 65535;
        z.push_back(at + n >= raw.size() ? 1 : 0);
        z.push_back(static_cast<char>(n & 0xFF));
        z.push_back(static_cast<char>(n >> 8));
        z.push_back(static_cast<char>(~n & 0xFF));
        z.push_back(static_cast<char>((~n >> 8) & 0xFF));
        z.append(raw, at, n);
        if (raw.empty()) break;
    }
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    Put32(z, (b << 16) | a);

    std::string png = "\x89PNG\r\n\x1a\n";
    std::string header;
    Put32(header, static_cast<uint32_t>(image.width));
    Put32(header, static_cast<uint32_t>(image.height));
    header += std::string("\x08\x02\x00\x00\x00", 5);
    Chunk(png, "IHDR", header);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", "");
    return png;
}

HostHandle PictureWith(const std::string& image, int16_t top, int16_t left, int16_t bottom, int16_t right) {
    std::string data(10, '\0');
    const auto size = static_cast<int16_t>((image.size() + 10) & 0x7FFF);
    const int16_t fields[5] = {size, top, left, bottom, right};
    std::memcpy(data.data(), fields, 10);
    return NewHandleWith(data + image);
}

bool ReadGif(const std::string& bytes, GifFile& gif, std::string& why) {
    auto u8 = [&](size_t at) { return static_cast<uint8_t>(bytes[at]); };
    auto u16 = [&](size_t at) { return u8(at) | u8(at + 1) << 8; };
    if (bytes.size() < 13 + 768) return why = "short file", false;
    gif.signature = bytes.substr(0, 6);
    gif.screenWidth = u16(6);
    gif.screenHeight = u16(8);
    gif.packed = u8(10);
    gif.background = u8(11);
    gif.aspect = u8(12);
    gif.palette.assign(bytes.begin() + 13, bytes.begin() + 13 + 768);
    size_t at = 13 + 768;
    if (at < bytes.size() && u8(at) == 0x21) {
        if (at + 8 > bytes.size() || u8(at + 1) != 0xF9 || u8(at + 2) != 4 || u8(at + 7) != 0)
            return why = "bad graphic control extension", false;
        gif.hasExtension = true;
        gif.extension.assign(bytes.begin() + at + 3, bytes.begin() + at + 7);
        at += 8;
    }
    if (at + 11 > bytes.size() || u8(at) != 0x2C) return why = "no image descriptor", false;
    gif.left = u16(at + 1);
    gif.top = u16(at + 3);
    gif.width = u16(at + 5);
    gif.height = u16(at + 7);
    gif.imageFlags = u8(at + 9);
    gif.minimumCodeSize = u8(at + 10);
    at += 11;
    for (;;) {
        if (at >= bytes.size()) return why = "image data runs off the end", false;
        const int n = u8(at++);
        if (n == 0) break;
        if (at + n > bytes.size()) return why = "sub-block runs off the end", false;
        gif.blockSizes.push_back(n);
        gif.codeStream.append(bytes, at, n);
        at += n;
    }
    gif.trailer = at + 1 == bytes.size() && u8(at) == 0x3B;
    if (!gif.trailer) return why = "no trailer at the end", false;
    return true;
}

LzwTrace DecodeLzw(const std::string& stream) {
    LzwTrace t;
    std::vector<int> prefix(4096, -1);
    std::vector<uint8_t> suffix(4096), first(4096);
    for (int i = 0; i < 256; ++i) suffix[i] = first[i] = static_cast<uint8_t>(i);
    int width = 9, next = 258, previous = -1;
    size_t bit = 0;
    const size_t bits = stream.size() * 8;
    std::vector<uint8_t> text;
    auto emit = [&](int code) {
        text.clear();
        for (int c = code; c >= 0; c = prefix[c]) text.push_back(suffix[c]);
        t.pixels.insert(t.pixels.end(), text.rbegin(), text.rend());
    };
    while (bit + width <= bits) {
        int code = 0;
        for (int k = 0; k < width; ++k, ++bit)
            code |= ((static_cast<uint8_t>(stream[bit / 8]) >> (bit % 8)) & 1) << k;
        if (width > t.maxWidth) t.maxWidth = width;
        if (code == 256) {
            ++t.clears;
            if (width == 12 && next == 4096) ++t.fullClears;
            width = 9;
            next = 258;
            previous = -1;
            for (int i = 258; i < 4096; ++i) prefix[i] = -1;
            continue;
        }
        if (code == 257) {
            t.ended = true;
            break;
        }
        if (previous < 0) {
            if (code > 255) return t.error = "first code after a clear is not a pixel", t;
            emit(code);
            previous = code;
            continue;
        }
        if (code > next || (code == next && next >= 4096)) return t.error = "code beyond the table", t;
        const bool known = code < next;
        if (next < 4096) {
            prefix[next] = previous;
            first[next] = first[previous];
            suffix[next] = known ? first[code] : first[previous];
            ++next;
            if (next == (1 << width) && width < 12) ++width;
        }
        emit(code);
        previous = code;
    }
    if (!t.ended) t.error = "no end code";
    return t;
}

std::vector<uint8_t> Deinterlace(const std::vector<uint8_t>& stream, int32_t width, int32_t height) {
    std::vector<uint8_t> rows(stream.size());
    size_t at = 0;
    static const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (int32_t y = start[pass]; y < height; y += step[pass])
            for (int32_t x = 0; x < width && at < stream.size(); ++x)
                rows[static_cast<size_t>(y) * width + x] = stream[at++];
    return rows;
}

bool DecodeWithPillow(const TempDir& folder, const std::vector<std::string>& names) {
    std::string script =
        "import sys\n"
        "from PIL import Image\n"
        "for name in sys.argv[2:]:\n"
        "    base = sys.argv[1] + '/' + name\n"
        "    with Image.open(base + '.gif') as im:\n"
        "        assert im.mode == 'P', im.mode\n"
        "        open(base + '.pil', 'wb').write(im.tobytes())\n"
        "        open(base + '.info', 'w').write(str(im.info.get('transparency', -1)))\n";
    WriteFile(folder.File("decode.py"), script);
    std::string command = "/usr/bin/python3 " + folder.File("decode.py") + " " + folder.path;
    for (const std::string& n : names) command += " " + n;
    return RunCommand(command);
}

bool DecodeWithGiflib(const TempDir& folder, const std::string& name, std::vector<uint8_t>& indices) {
    const std::string gifPath = folder.File(name + ".gif");
    const std::string rgbPath = folder.File(name + ".rgb");
    if (!RunCommand("gif2rgb -1 -o " + rgbPath + " " + gifPath + " 2>/dev/null")) return false;
    GifFile gif;
    std::string why;
    if (!ReadGif(ReadFile(gifPath), gif, why)) return false;
    std::vector<int16_t> byColor(size_t{1} << 24, -1);
    for (int i = 255; i >= 0; --i)
        byColor[gif.palette[i * 3] << 16 | gif.palette[i * 3 + 1] << 8 | gif.palette[i * 3 + 2]] =
            static_cast<int16_t>(i);
    const std::string rgb = ReadFile(rgbPath);
    indices.clear();
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
        const uint32_t key = static_cast<uint8_t>(rgb[i]) << 16 | static_cast<uint8_t>(rgb[i + 1]) << 8 |
                             static_cast<uint8_t>(rgb[i + 2]);
        if (byColor[key] < 0) return false;
        indices.push_back(static_cast<uint8_t>(byColor[key]));
    }
    return true;
}

HostHandle PictureToGif(PluginHost& host, HostHandle picture, int32_t flags, int32_t width, int32_t height,
                        int32_t column, int32_t row) {
    HostHandle result = reinterpret_cast<HostHandle>(uintptr_t{0x5A5A5A5A});
    host.Call(46, {&picture, &flags, &width, &height, &column, &row}, &result);
    return result;
}

}  // namespace zor::test::giftest
