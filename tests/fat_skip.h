// Skipping tests that need FAT volumes where they cannot be mounted (no FUSE, no fusefat or
// mkfs.vfat). A macro, not a function: GTEST_SKIP() returns from the function it is written in,
// so only in the test body (or SetUp) does it end the test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "fat_volume.h"

#define KAVO_SKIP_WITHOUT_FAT()                                                                  \
    do {                                                                                         \
        const std::string kavoFatWhy = ::kavo::sim::FatVolume::Unavailable();                   \
        if (!kavoFatWhy.empty()) GTEST_SKIP() << "FAT volumes cannot be mounted: " << kavoFatWhy; \
    } while (0)
