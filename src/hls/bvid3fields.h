// What is read of an ID3v2 tag: handed from the TagLib reader, a module loaded on first use
// (so that a process that meets no tag maps no TagLib), to the player.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct BVId3Fields {
    std::string title; // UTF-8
    // Each property's key (upper case) and its values joined with " ", in key order.
    std::vector<std::pair<std::string, std::string>> properties;
    // The 33-bit timestamp of the PRIV frame "com.apple.streaming.transportStreamTimestamp"
    // (packed audio's first sample, 90 kHz), -1 when there is none.
    int64_t transportStreamTimestamp = -1;
};

// The reader's entry point: reads the tag in `data`, which begins with its 10-byte header.
#define BV_READ_ID3_SYMBOL "bvReadId3"
using BVReadId3 = void (*)(const char *data, size_t size, BVId3Fields &fields);
