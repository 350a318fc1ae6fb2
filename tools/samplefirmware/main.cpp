// samplefirmware: writes the demo's sample firmware image, the same bytes on every machine.
//
//   samplefirmware OUTPUT [SIZE]
//
// A 64-byte header (magic text, size), a pseudo-random body, and the CRC-32 of everything before
// it in the last four bytes. SIZE defaults to 300000, which is not a multiple of the block size,
// so the last block of a transfer carries padding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "terminal_sim.h"

int main(int argc, char** argv) {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("usage: samplefirmware OUTPUT [SIZE]\n");
        return 0;
    }
    // An option in place of OUTPUT would otherwise become a file of that name.
    if (argc < 2 || argc > 3 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: samplefirmware OUTPUT [SIZE]\n");
        return 2;
    }
    char* end = nullptr;
    const long size = argc == 3 ? std::strtol(argv[2], &end, 10) : 300000;
    if ((argc == 3 && (end == argv[2] || *end != 0)) || size < 128 || size > (64L << 20)) {
        std::fprintf(stderr, "samplefirmware: SIZE must be between 128 and 64 MiB\n");
        return 2;
    }
    std::vector<std::uint8_t> image(static_cast<std::size_t>(size));
    char header[64] = {};
    std::snprintf(header, sizeof header, "SIGNPAD DEMO FIRMWARE 2.0 size=%ld", size);
    std::memcpy(image.data(), header, sizeof header);
    std::uint32_t x = 0x4B41564Fu;
    for (std::size_t i = sizeof header; i + 4 < image.size(); ++i) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        image[i] = static_cast<std::uint8_t>(x);
    }
    const std::uint32_t crc = kavo::sim::Crc32(image.data(), image.size() - 4);
    for (int k = 0; k < 4; ++k) image[image.size() - 4 + k] = static_cast<std::uint8_t>(crc >> (8 * k));

    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "samplefirmware: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
