// AdjustTrailingBackslash over any path text of up to 511 bytes, in both
// modes, in a 512-byte heap buffer.
//
// Input: [code page] [mode] [path bytes...]. The mode byte gives 1 (add),
// 0 (remove), or another value, which removes as 0 does.
#include "fuzz_support.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ResetMachineAtEnd resetAtEnd;
    Input in{data, size};
    UINT codePage = PickCodePage(in.Byte());
    uint8_t modeByte = in.Byte();
    int mode = modeByte <= 1 ? modeByte : (int)(int8_t)modeByte;
    std::string path = in.Text(PATH_TEXT_SIZE - 1);
    LeadModel model = UseCodePage(codePage);

    Block buffer(PATH_TEXT_SIZE);
    memcpy(buffer.Bytes(), path.c_str(), path.size() + 1);
    int result = AdjustTrailingBackslash(buffer.Bytes(), mode);
    std::string after = buffer.Text();
    size_t n = path.size();

    FUZZ_CHECK(result == 0 || result == 1, "result %d", result);
    // Nothing is written past the new text's terminator.
    FUZZ_CHECK(buffer.UntouchedFrom((n > after.size() ? n : after.size()) + 1), "write past the terminator, %s",
               Hex(path).c_str());

    // The one-byte rule: a final 0x5C counts as a separator unless the byte
    // before it has a lead-byte value.
    bool endsInSeparator = n >= 2 && path[n - 1] == '\\' && !model.IsLead(path[n - 2]);
    if (n < 2) {
        FUZZ_CHECK(result == 1 && after == path, "short path changed: %s -> %s", Hex(path).c_str(),
                   Hex(after).c_str());
    } else if (mode == 1) {
        if (endsInSeparator)
            FUZZ_CHECK(result == 1 && after == path, "add changed %s to %s", Hex(path).c_str(), Hex(after).c_str());
        else if (n + 1 < PATH_TEXT_SIZE)
            FUZZ_CHECK(result == 1 && after == path + "\\", "add on %s gave %s (result %d)", Hex(path).c_str(),
                       Hex(after).c_str(), result);
        else
            FUZZ_CHECK(result == 0 && after == path, "add on a full buffer gave %s (result %d)", Hex(after).c_str(),
                       result);
    } else {
        FUZZ_CHECK(result == 1, "remove failed on %s", Hex(path).c_str());
        FUZZ_CHECK(after == (endsInSeparator ? path.substr(0, n - 1) : path), "remove on %s gave %s",
                   Hex(path).c_str(), Hex(after).c_str());
    }

    // A path whose characters walk exactly to its end keeps doing so.
    if (model.WalksToEnd(path))
        FUZZ_CHECK(model.WalksToEnd(after), "a two-byte character was split: %s -> %s", Hex(path).c_str(),
                   Hex(after).c_str());

    // Adding is idempotent, and removing what was just added gives the path
    // back. Not so after a last byte of lead-byte value: the one-byte rule
    // then never sees the added 0x5C as a separator.
    if (mode == 1 && result == 1 && n >= 2 && !model.IsLead(path[n - 1])) {
        std::string once = after;
        FUZZ_CHECK(AdjustTrailingBackslash(buffer.Bytes(), 1) == 1 && buffer.Text() == once, "second add changed %s",
                   Hex(once).c_str());
        if (once != path) {
            AdjustTrailingBackslash(buffer.Bytes(), 0);
            FUZZ_CHECK(buffer.Text() == path, "remove after add gave %s, not %s", Hex(buffer.Text()).c_str(),
                       Hex(path).c_str());
        }
    }
    return 0;
}
