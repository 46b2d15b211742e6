// Shared pieces of the libFuzzer targets: the code page an input runs under,
// an independent model of the lead bytes for walking path text, output
// buffers placed in heap blocks of exactly their size (so that AddressSanitizer
// reports any byte written or read past them), and a check that stops the run
// with a message when a property does not hold.
//
// Every input starts with one byte that picks the code page: 932 (lead bytes
// 0x81-0x9F and 0xE0-0xFC), the single-byte 1252, or a code page that cannot
// be queried (no lead bytes). The rest is laid out by each target.
#ifndef KORVALUP_FUZZ_SUPPORT_H
#define KORVALUP_FUZZ_SUPPORT_H

#include "pathtext.h"
#include "sim.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

// Stops the run, with a message, when a property does not hold.
#define FUZZ_CHECK(condition, ...)                                                                                \
    do {                                                                                                          \
        if (!(condition)) {                                                                                       \
            fprintf(stderr, "%s:%d: property failed: %s\n  ", __FILE__, __LINE__, #condition);                   \
            fprintf(stderr, __VA_ARGS__);                                                                         \
            fprintf(stderr, "\n");                                                                                \
            abort();                                                                                              \
        }                                                                                                         \
    } while (0)

namespace fuzz {

// The bytes of an input, consumed from the front.
struct Input {
    const uint8_t *data;
    size_t size;

    uint8_t Byte()
    {
        if (!size)
            return 0;
        --size;
        return *data++;
    }
    // Bytes up to the next NUL (which is consumed) or the end, at most max of
    // them kept; the text never holds a NUL.
    std::string Text(size_t max)
    {
        std::string out;
        while (size) {
            uint8_t b = Byte();
            if (!b)
                break;
            if (out.size() < max)
                out += (char)b;
        }
        return out;
    }
};

inline UINT PickCodePage(uint8_t selector)
{
    switch (selector & 3) {
    case 1:
        return 1252;
    case 2:
        return 0; // GetCPInfo fails: no lead bytes
    default:
        return 932;
    }
}

// The lead-byte model the properties are checked against, written from the
// code page's definition rather than read from the program.
struct LeadModel {
    bool lead[256];
    explicit LeadModel(UINT codePage)
    {
        for (int b = 0; b < 256; ++b)
            lead[b] = codePage == 932 && ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC));
    }
    bool IsLead(char c) const { return lead[(uint8_t)c]; }

    // Walks text forward, a lead byte with the byte after it. Returns the
    // positions where characters start; *exact tells whether the walk ended
    // exactly at the end (false: the last byte is a lone lead byte).
    std::vector<bool> Starts(const std::string &text, bool *exact) const
    {
        std::vector<bool> starts(text.size() + 1, false);
        size_t i = 0;
        while (i < text.size()) {
            starts[i] = true;
            i += IsLead(text[i]) ? 2 : 1;
        }
        if (exact)
            *exact = i == text.size();
        if (i == text.size())
            starts[i] = true;
        return starts;
    }
    bool WalksToEnd(const std::string &text) const
    {
        bool exact;
        Starts(text, &exact);
        return exact;
    }
    // Positions of the separators: 0x5C bytes where a character starts.
    std::vector<size_t> Separators(const std::string &text) const
    {
        std::vector<size_t> out;
        std::vector<bool> starts = Starts(text, nullptr);
        for (size_t i = 0; i < text.size(); ++i)
            if (starts[i] && text[i] == '\\')
                out.push_back(i);
        return out;
    }
};

// The root the source should give, from the two absolute forms; false when
// the source is not absolute, a name ends in a lone lead byte at the end, or
// the root and its terminator need more than room bytes.
inline bool ModelRoot(const LeadModel &model, const std::string &s, size_t room, size_t *rootLength)
{
    if (s.size() >= 2 && s[0] == '\\' && s[1] == '\\') {
        bool exact;
        std::vector<bool> starts = model.Starts(s, &exact);
        size_t server = 2;
        while (server < s.size() && !(starts[server] && s[server] == '\\'))
            ++server;
        if (server >= s.size() || server + 1 == s.size())
            return false; // no separator after the server name, or nothing after it
        size_t share = server + 1;
        while (share < s.size() && !(starts[share] && s[share] == '\\'))
            ++share;
        if (share == s.size() && !exact)
            return false; // the share name ends in a lone lead byte
        *rootLength = share;
    } else if (s.size() >= 3 && s[1] == ':' && s[2] == '\\') {
        *rootLength = 2;
    } else {
        return false;
    }
    return *rootLength + 1 <= room;
}

// Switches the simulated machine to the code page and has the program read
// its lead bytes; checks that it reads the same lead bytes as the model.
inline LeadModel SwitchCodePage(UINT codePage)
{
    sim::SetCodePage(codePage);
    InitLeadBytes();
    LeadModel model(codePage);
    for (int b = 0; b < 256; ++b)
        FUZZ_CHECK(IsLeadByte((BYTE)b) == model.lead[b], "code page %u, byte 0x%02X", codePage, b);
    return model;
}

// A fresh, empty simulated machine under the code page.
inline LeadModel UseCodePage(UINT codePage)
{
    sim::Reset();
    return SwitchCodePage(codePage);
}

// Declared first in every target: leaves a fresh, empty machine for the
// next input, so that the input frees everything it allocated (libFuzzer
// reruns any input that allocates more than it frees, looking for leaks).
struct ResetMachineAtEnd {
    ~ResetMachineAtEnd() { sim::Reset(); }
};

// A heap block of exactly size bytes, filled with a sentinel.
class Block {
  public:
    static const char SENTINEL = (char)0xA5;
    explicit Block(size_t size) : size_(size), bytes_(new char[size])
    {
        memset(bytes_, SENTINEL, size);
    }
    ~Block() { delete[] bytes_; }
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;

    char *Bytes() { return bytes_; }
    size_t Size() const { return size_; }
    // The text up to the terminator; the check fails when there is none.
    std::string Text() const
    {
        const void *end = memchr(bytes_, 0, size_);
        FUZZ_CHECK(end != nullptr, "no terminator in a buffer of %zu bytes", size_);
        return std::string((const char *)bytes_, (const char *)end);
    }
    // Bytes [from, to) are all still the sentinel.
    bool Untouched(size_t from, size_t to) const
    {
        for (size_t i = from; i < to && i < size_; ++i)
            if (bytes_[i] != SENTINEL)
                return false;
        return true;
    }
    bool UntouchedFrom(size_t from) const { return Untouched(from, size_); }

  private:
    size_t size_;
    char *bytes_;
};

// A NUL-terminated copy of text in a heap block of exactly its length + 1,
// so that reading past the terminator is reported too.
class ExactText {
  public:
    explicit ExactText(const std::string &text) : bytes_(new char[text.size() + 1])
    {
        memcpy(bytes_, text.c_str(), text.size() + 1);
    }
    ~ExactText() { delete[] bytes_; }
    ExactText(const ExactText &) = delete;
    ExactText &operator=(const ExactText &) = delete;
    const char *Get() const { return bytes_; }

  private:
    char *bytes_;
};

// For messages: the bytes with everything outside printable ASCII in hex.
inline std::string Hex(const std::string &bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '<') {
            out += (char)c;
        } else {
            char h[8];
            snprintf(h, sizeof h, "<%02X>", c);
            out += h;
        }
    }
    return out;
}

} // namespace fuzz

#endif
