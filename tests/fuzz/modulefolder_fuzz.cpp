// GetModuleFolder over any module path, into a heap buffer of exactly the
// size given (mostly 512 bytes; sometimes 1 to 600).
//
// Input: [code page] [size: 2 bytes] [module path bytes...]. A size field
// with its top bit clear means 512; otherwise its low 15 bits pick 1..600.
// The module path may be longer than the buffer, and empty (the module
// path cannot be had).
#include "fuzz_support.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ResetMachineAtEnd resetAtEnd;
    Input in{data, size};
    UINT codePage = PickCodePage(in.Byte());
    unsigned sizeField = (unsigned)in.Byte() << 8;
    sizeField |= in.Byte();
    size_t bufferSize = (sizeField & 0x8000) ? 1 + (sizeField & 0x7FFF) % 600 : PATH_TEXT_SIZE;
    std::string modulePath = in.Text(700);
    LeadModel model = UseCodePage(codePage);
    sim::SetModulePath(modulePath);

    Block buffer(bufferSize);
    int result = GetModuleFolder(buffer.Bytes(), bufferSize);
    FUZZ_CHECK(result == 0 || result == 1, "result %d", result);

    // The folder: the module path up to and including its last separator
    // that is not a trail byte.
    std::vector<size_t> separators = model.Separators(modulePath);
    bool whole = !modulePath.empty() && modulePath.size() + 2 <= bufferSize; // room for the text and its terminator

    if (result == 1) {
        std::string folder = buffer.Text();
        FUZZ_CHECK(!separators.empty(), "a folder (%s) from a module path without separator: %s", Hex(folder).c_str(),
                   Hex(modulePath).c_str());
        std::string expected = modulePath.substr(0, separators.back() + 1);
        FUZZ_CHECK(folder == expected, "module path %s (buffer %zu) gave %s, not %s", Hex(modulePath).c_str(),
                   bufferSize, Hex(folder).c_str(), Hex(expected).c_str());
    } else {
        if (bufferSize > 0)
            FUZZ_CHECK(memchr(buffer.Bytes(), 0, bufferSize) != nullptr || buffer.UntouchedFrom(0),
                       "a failed call left no terminator");
        FUZZ_CHECK(!whole || separators.empty(), "refused module path %s with a buffer of %zu",
                   Hex(modulePath).c_str(), bufferSize);
    }
    return 0;
}
