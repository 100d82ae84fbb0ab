// gif.cpp: benchmark of the GIF encoder against Pillow's GIF writer (bench/gif_pillow.py, run in
// the same session): encoder time on rendered pixels, output size, the LZW code streams compared,
// the whole command on a PNG picture against Pillow's open, quantize and save, and the peak of host
// memory during a conversion.
//
// Usage: bench_gif [--quick]   (--quick: 1024 x 1024 only; ZOR_BENCH_KEEP=DIR keeps the files)
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cpu_time.h"
#include "gif/gif.h"

namespace {

using namespace zor::gif;

// ---- Host memory accounting through the system-call table -----------------------------------------
int64_t g_live = 0;
int64_t g_peak = 0;
HostSystemCalls g_original;

void Count(int64_t delta) {
    g_live += delta;
    g_peak = std::max(g_peak, g_live);
}
void* CountingAllocate(size_t size) {
    void* p = g_original.allocate(size);
    if (p) Count(static_cast<int64_t>(malloc_usable_size(p)));
    return p;
}
void* CountingReallocate(void* block, size_t size) {
    const int64_t before = block ? static_cast<int64_t>(malloc_usable_size(block)) : 0;
    void* p = g_original.reallocate(block, size);
    if (p) Count(static_cast<int64_t>(malloc_usable_size(p)) - before);
    return p;
}
void CountingRelease(void* block) {
    if (block) Count(-static_cast<int64_t>(malloc_usable_size(block)));
    g_original.release(block);
}
void StartCounting() {
    HostSystemCalls* calls = HostSystemCallTable();
    g_original = *calls;
    calls->allocate = CountingAllocate;
    calls->reallocate = CountingReallocate;
    calls->release = CountingRelease;
    g_live = g_peak = 0;
}
void StopCounting() { HostRestoreSystemCalls(); }

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// ---- Images ---------------------------------------------------------------------------------------
struct Image {
    std::string name;
    int32_t width, height;
    std::vector<uint8_t> pixels;
};

Image MakeImage(const char* kind, int32_t side) {
    Image image{std::string(kind) + " " + std::to_string(side) + "x" + std::to_string(side), side, side, {}};
    image.pixels.resize(static_cast<size_t>(side) * side);
    if (std::strcmp(kind, "random") == 0) {
        std::mt19937 random(1234);
        for (auto& p : image.pixels) p = static_cast<uint8_t>(random());
    } else {
        // A smooth diagonal gradient across the grey ramp and the cube's greys.
        for (int32_t y = 0; y < side; ++y)
            for (int32_t x = 0; x < side; ++x)
                image.pixels[static_cast<size_t>(y) * side + x] =
                    static_cast<uint8_t>(245 + (int64_t{x} + y) * 10 / (2 * int64_t{side}));
    }
    return image;
}

GifImage Rendered(const Image& image) {
    return GifImage{image.pixels.data(), image.width, image.width, image.height, *HostSystemColorTable()};
}

// ---- Files and the code stream --------------------------------------------------------------------
std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteAll(const std::string& path, const void* bytes, size_t size) {
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
}

// The LZW code stream of a file's first image, sub-block framing removed; empty when not found.
std::string CodeStream(const std::string& gif, int* largestBlock) {
    if (gif.size() < 13) return {};
    size_t at = 13;
    const auto u8 = [&](size_t i) { return static_cast<uint8_t>(gif[i]); };
    if (u8(10) & 0x80) at += 3u << ((u8(10) & 7) + 1);
    while (at < gif.size() && u8(at) == 0x21) {  // extensions
        at += 2;
        while (at < gif.size() && u8(at) != 0) at += u8(at) + 1;
        ++at;
    }
    if (at + 10 >= gif.size() || u8(at) != 0x2C) return {};
    if (u8(at + 9) & 0x80) at += 3u << ((u8(at + 9) & 7) + 1);
    at += 11;  // descriptor and minimum code size
    std::string stream;
    *largestBlock = 0;
    while (at < gif.size() && u8(at) != 0) {
        *largestBlock = std::max(*largestBlock, static_cast<int>(u8(at)));
        stream.append(gif, at + 1, u8(at));
        at += u8(at) + 1;
    }
    return stream;
}

struct Encoded {
    double seconds;  // median processor time of the runs
    std::string bytes;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

Encoded EncodeMedian(const Image& image, int repeats) {
    Encoded result{0, {}};
    std::vector<double> times;
    for (int r = 0; r < repeats; ++r) {
        GifOutput output{};
        if (!StartOutput(output)) std::abort();
        const double start = zor::bench::CpuSeconds();
        const bool ok = WriteGif(Rendered(image), false, -1, output);
        times.push_back(zor::bench::CpuSecondsSince(start));
        if (!ok) std::abort();
        result.bytes.assign(*output.handle, static_cast<size_t>(output.position));
        HostDisposeHandle(output.handle);
    }
    result.seconds = Median(times);
    return result;
}

// Runs Pillow's side and reads its answer: median seconds, output bytes.
bool AskPillow(const std::string& arguments, double& seconds, long& bytes) {
    const std::string command = "/usr/bin/python3 " + std::string(ZOR_SOURCE_DIR) + "/bench/gif_pillow.py " + arguments;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    const bool read = std::fscanf(pipe, "%lf %ld", &seconds, &bytes) == 2;
    return pclose(pipe) == 0 && read;
}

// A picture of smooth colours that are not the table's: drawing maps each pixel to the nearest
// table colour, which leaves bands.
std::vector<uint8_t> SmoothColours(int32_t side) {
    std::vector<uint8_t> rgb(static_cast<size_t>(side) * side * 3);
    for (int32_t y = 0; y < side; ++y)
        for (int32_t x = 0; x < side; ++x) {
            uint8_t* p = &rgb[(static_cast<size_t>(y) * side + x) * 3];
            p[0] = static_cast<uint8_t>(x * 255 / (side - 1));
            p[1] = static_cast<uint8_t>(y * 255 / (side - 1));
            p[2] = static_cast<uint8_t>((int64_t{x} + y) * 255 / (2 * (side - 1)));
        }
    return rgb;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    char folder[] = "/tmp/zor-bench-gif-XXXXXX";
    if (mkdtemp(folder) == nullptr) return 1;
    const std::string dir = folder;

    std::string palette;
    for (int i = 0; i < 256; ++i) {
        const HostColorSpec& c = (*HostSystemColorTable())->table[i];
        palette += {static_cast<char>(c.red), static_cast<char>(c.green), static_cast<char>(c.blue)};
    }
    WriteAll(dir + "/palette", palette.data(), palette.size());

    std::printf("GIF encoder, pixels already rendered (median processor time of several runs), against\n"
                "Pillow's Image.save(..., 'GIF', interlace=False) in process\n\n");
    std::printf("%-18s %10s %10s %7s %12s %12s %8s  %s\n", "image", "zor ms", "Pillow ms", "speed", "zor bytes",
                "Pillow bytes", "size", "code stream");
    std::string goals;  // one BENCH line per goal, printed at the end
    std::vector<int32_t> sides = {1024};
    if (!quick) sides.push_back(4096);
    for (int32_t side : sides) {
        for (const char* kind : {"random", "gradient"}) {
            const Image image = MakeImage(kind, side);
            const int repeats = side > 2048 ? 5 : 15;
            const Encoded zor = EncodeMedian(image, repeats);

            WriteAll(dir + "/pixels", image.pixels.data(), image.pixels.size());
            double pillowSeconds = 0;
            long pillowBytes = 0;
            if (!AskPillow("encode " + dir + "/pixels " + dir + "/palette " + std::to_string(side) + " " +
                               std::to_string(side) + " " + std::to_string(repeats) + " " + dir + "/pillow.gif",
                           pillowSeconds, pillowBytes)) {
                std::fprintf(stderr, "Pillow did not answer\n");
                return 1;
            }

            // ZOR_BENCH_KEEP=folder keeps both files for a closer look.
            if (const char* keep = std::getenv("ZOR_BENCH_KEEP")) {
                std::string base = std::string(keep) + "/" + kind + std::to_string(side);
                WriteAll(base + "-zor.gif", zor.bytes.data(), zor.bytes.size());
                const std::string theirs = ReadAll(dir + "/pillow.gif");
                WriteAll(base + "-pillow.gif", theirs.data(), theirs.size());
            }
            int zorBlock = 0, pillowBlock = 0;
            const std::string ours = CodeStream(zor.bytes, &zorBlock);
            const std::string theirs = CodeStream(ReadAll(dir + "/pillow.gif"), &pillowBlock);
            std::string verdict;
            if (ours == theirs) {
                verdict = "identical";
            } else {
                size_t first = 0;
                while (first < ours.size() && first < theirs.size() && ours[first] == theirs[first]) ++first;
                verdict = "differs from byte " + std::to_string(first) + " (" + std::to_string(ours.size()) + " vs " +
                          std::to_string(theirs.size()) + "; sub-blocks " + std::to_string(zorBlock) + " vs " +
                          std::to_string(pillowBlock) + ")";
            }
            std::printf("%-18s %10.2f %10.2f %6.2fx %12zu %12ld %+7.2f%%  %s\n", image.name.c_str(),
                        zor.seconds * 1e3, pillowSeconds * 1e3, pillowSeconds / zor.seconds, zor.bytes.size(),
                        pillowBytes, 100.0 * (static_cast<double>(zor.bytes.size()) - pillowBytes) / pillowBytes,
                        verdict.c_str());
            const double speed = pillowSeconds / zor.seconds;
            const double size = static_cast<double>(zor.bytes.size()) / pillowBytes;
            goals += "BENCH\tGIF encoder, " + image.name + "\t" + Format("%.2f ms", zor.seconds * 1e3) + "\t" +
                     Format("%.2f ms", pillowSeconds * 1e3) + "\t" + Format("%.2f", speed) + "\t>=2\t" +
                     (speed >= 2 ? "yes" : "no") + "\n";
            goals += "BENCH\tGIF size, " + image.name + "\t" + std::to_string(zor.bytes.size()) + " B\t" +
                     std::to_string(pillowBytes) + " B\t" + Format("%.4f", size) + "\t<=1.01\t" +
                     (size <= 1.01 ? "yes" : "no") + "\n";
        }
    }

    // The whole command on a PNG picture (decoded, drawn into the offscreen with the nearest table
    // colours, encoded) against Pillow opening the same PNG, quantizing it to the same table without
    // dithering and saving it as a GIF.
    {
        const int32_t side = 1024;
        const int repeats = 9;
        const std::vector<uint8_t> rgb = SmoothColours(side);
        WriteAll(dir + "/rgb", rgb.data(), rgb.size());
        double pillowSeconds = 0;
        long pillowBytes = 0;
        if (!AskPillow("whole " + dir + "/rgb " + dir + "/palette " + std::to_string(side) + " " + std::to_string(side) +
                           " " + std::to_string(repeats) + " " + dir + "/picture.png",
                       pillowSeconds, pillowBytes)) {
            std::fprintf(stderr, "Pillow did not answer\n");
            return 1;
        }
        const std::string png = ReadAll(dir + "/picture.png");
        std::string data(10, '\0');
        const int16_t frame[5] = {0, 0, 0, static_cast<int16_t>(side), static_cast<int16_t>(side)};
        std::memcpy(data.data(), frame, 10);
        data += png;
        HostHandle picture = HostNewHandle(static_cast<int32_t>(data.size()));
        std::memcpy(*picture, data.data(), data.size());
        std::vector<double> times;
        long zorBytes = 0;
        for (int r = 0; r < repeats; ++r) {
            const double start = zor::bench::CpuSeconds();
            HostHandle gif = ConvertPictureToGif(picture, 0, 0, 0, 0, 0);
            times.push_back(zor::bench::CpuSecondsSince(start));
            if (gif == nullptr) return 1;
            zorBytes = HostGetHandleSize(gif);
            HostDisposeHandle(gif);
        }
        HostDisposeHandle(picture);
        const double whole = Median(times);
        std::printf("\nPictureToGif of a %dx%d PNG picture (median processor time), against Pillow's open, quantize\n"
                    "(same table, no dithering) and save in process\n  zor %.2f ms (%ld bytes), Pillow %.2f ms (%ld "
                    "bytes): %.2fx\n",
                    side, side, whole * 1e3, zorBytes, pillowSeconds * 1e3, pillowBytes, pillowSeconds / whole);
        goals += "BENCH\tPictureToGif, 1024x1024 PNG vs Pillow open+quantize+save\t" + Format("%.2f ms", whole * 1e3) +
                 "\t" + Format("%.2f ms", pillowSeconds * 1e3) + "\t" + Format("%.2f", pillowSeconds / whole) +
                 "\t-\t-\n";
    }

    // The peak of host memory while an offscreen's pixels are encoded, beyond the offscreen and the
    // output handle at its largest (the encoder's own working memory).
    std::printf("\nMemory\n");
    for (int32_t side : sides) {
        const Image image = MakeImage("random", side);
        // Offscreen and encoding, as the command does them after drawing.
        StartCounting();
        HostRect bounds{0, 0, static_cast<int16_t>(side), static_cast<int16_t>(side)};
        HostOffscreen offscreen = nullptr;
        if (HostNewOffscreen(&offscreen, 8, &bounds, nullptr, nullptr, 0) != 0) return 1;
        HostPixelMap& map = **HostOffscreenPixelMap(offscreen);
        for (int32_t y = 0; y < side; ++y)
            std::memcpy(map.baseAddr + static_cast<size_t>(y) * map.rowStride, image.pixels.data() + static_cast<size_t>(y) * side,
                        static_cast<size_t>(side));
        const int64_t offscreenBytes = g_live;
        GifOutput output{};
        if (!StartOutput(output)) return 1;
        const GifImage rendered{map.baseAddr, map.rowStride, side, side, *map.colorTable};
        if (!WriteGif(rendered, false, -1, output)) return 1;
        const int64_t handleBytes = g_live - offscreenBytes;  // the output handle at its largest
        HostSetHandleSize(output.handle, output.position);
        const int64_t outputBytes = g_live - offscreenBytes;
        const int64_t peak = g_peak;
        HostDisposeHandle(output.handle);
        HostDisposeOffscreen(offscreen);
        StopCounting();
        const double extra = (peak - offscreenBytes - handleBytes) / 1048576.0;
        std::printf("  %-18s peak host memory %.2f MiB = offscreen %.2f MiB + output %.2f MiB (handle at its largest "
                    "%.2f MiB) + %.3f MiB\n",
                    image.name.c_str(), peak / 1048576.0, offscreenBytes / 1048576.0, outputBytes / 1048576.0,
                    handleBytes / 1048576.0, extra);
        goals += "BENCH\tGIF peak memory over offscreen + output handle, " + image.name + "\t" +
                 Format("%.2f MiB", peak / 1048576.0) + "\t" +
                 Format("%.2f MiB", (offscreenBytes + handleBytes) / 1048576.0) + "\t" + Format("%.3f", extra) +
                 " MiB\t<=2 MiB\t" + (extra <= 2 ? "yes" : "no") + "\n";
    }
    std::printf("\n%s", goals.c_str());
    std::string clean = "rm -rf " + dir;
    return std::system(clean.c_str()) == 0 ? 0 : 1;
}
