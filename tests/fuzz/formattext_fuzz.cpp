// FormatText with any format and arguments into a heap buffer of exactly the
// size given (0 to 1100 bytes; message texts use 1024).
//
// Input: [code page] [size: 2 bytes] [number: 4 bytes] [format] 00 [text] 00
// [text] 00 [text] 00 [text]. The format keeps at most four conversions; each
// %s takes the next text, each %05d the number (plus its position, so that
// numbers differ).
#include "fuzz_support.h"

using namespace fuzz;

namespace {

const int MAX_CONVERSIONS = 4;

struct Arg {
    bool isText;
    const char *text;
    int number;
};

// Calls FormatText with the arguments in their own types, as a caller with
// that format would.
template <typename... T>
int Call(char *out, size_t size, const char *format, const Arg *args, int left, T... given)
{
    if constexpr (sizeof...(T) == MAX_CONVERSIONS) {
        return FormatText(out, size, format, given...);
    } else {
        if (left == 0)
            return FormatText(out, size, format, given...);
        if (args->isText)
            return Call(out, size, format, args + 1, left - 1, given..., args->text);
        return Call(out, size, format, args + 1, left - 1, given..., args->number);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ResetMachineAtEnd resetAtEnd;
    Input in{data, size};
    UINT codePage = PickCodePage(in.Byte());
    unsigned sizeField = (unsigned)in.Byte() << 8;
    sizeField |= in.Byte();
    size_t outSize = sizeField % 1101;
    uint32_t number = 0;
    for (int i = 0; i < 4; ++i)
        number = (number << 8) | in.Byte();
    std::string format = in.Text(1200);
    std::string texts[MAX_CONVERSIONS];
    for (std::string &t : texts)
        t = in.Text(1200);
    LeadModel model = UseCodePage(codePage);

    // Read the format as the program defines it (%s, %05d, %%, and any other
    // percent sign standing for itself), cut it before a fifth conversion,
    // and build the whole expected text piece by piece: the literal runs
    // between percent signs, and what each percent sign stands for.
    std::vector<std::string> pieces;
    Arg args[MAX_CONVERSIONS];
    int count = 0, textsUsed = 0;
    size_t p = 0;
    std::string literal;
    while (p < format.size()) {
        if (format[p] != '%') {
            literal += format[p++];
            continue;
        }
        bool text = format.compare(p, 2, "%s") == 0;
        bool numeric = format.compare(p, 4, "%05d") == 0;
        if (!text && !numeric) {
            // Written as a piece of its own, after the literal before it.
            bool doubled = format.compare(p, 2, "%%") == 0;
            if (!literal.empty())
                pieces.push_back(literal);
            literal.clear();
            pieces.push_back("%");
            p += doubled ? 2 : 1;
            continue;
        }
        if (count == MAX_CONVERSIONS) {
            format.resize(p);
            break;
        }
        if (!literal.empty())
            pieces.push_back(literal);
        literal.clear();
        if (text) {
            args[count] = Arg{true, texts[textsUsed].c_str(), 0};
            pieces.push_back(texts[textsUsed++]);
            p += 2;
        } else {
            int value = (int)(number + (uint32_t)count);
            args[count] = Arg{false, nullptr, value};
            char digits[32];
            snprintf(digits, sizeof digits, "%05d", value);
            pieces.push_back(digits);
            p += 4;
        }
        ++count;
    }
    if (!literal.empty())
        pieces.push_back(literal);
    std::string full;
    bool piecesWhole = true; // no piece ends in a lone lead byte
    for (const std::string &piece : pieces) {
        full += piece;
        piecesWhole = piecesWhole && model.WalksToEnd(piece);
    }

    ExactText formatText(format);
    Block out(outSize);
    int result = Call(out.Bytes(), outSize, formatText.Get(), args, count);
    FUZZ_CHECK(result == 0 || result == 1, "result %d", result);
    if (outSize == 0) {
        FUZZ_CHECK(result == 0, "a zero-size buffer took %s", Hex(full).c_str());
        return 0;
    }

    std::string got = out.Text();
    FUZZ_CHECK(full.compare(0, got.size(), got) == 0 && got.size() <= full.size(),
               "format %s: got %s, not a prefix of %s", Hex(format).c_str(), Hex(got).c_str(), Hex(full).c_str());
    FUZZ_CHECK(result == (got == full ? 1 : 0), "result %d for %zu of %zu bytes", result, got.size(), full.size());
    FUZZ_CHECK(out.UntouchedFrom(got.size() + 1), "write past the terminator");
    if (result == 0) {
        // Cut at the room left, or one byte short of it to keep a two-byte
        // character whole.
        FUZZ_CHECK(got.size() == outSize - 1 || (got.size() + 2 == outSize && model.IsLead(full[got.size()])),
                   "cut at %zu in a buffer of %zu: %s", got.size(), outSize, Hex(full).c_str());
    }
    if (piecesWhole) {
        bool exact;
        std::vector<bool> starts = model.Starts(full, &exact);
        FUZZ_CHECK(starts[got.size()], "cut inside a character at %zu: %s", got.size(), Hex(full).c_str());
    }
    return 0;
}
