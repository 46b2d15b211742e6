// JoinPath of any base and name into a 512-byte heap buffer. Base and name
// may each be longer than a path buffer holds, so that refusals are reached.
//
// Input: [code page] [base bytes...] 00 [name bytes...].
#include "fuzz_support.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ResetMachineAtEnd resetAtEnd;
    Input in{data, size};
    UINT codePage = PickCodePage(in.Byte());
    std::string base = in.Text(600);
    std::string name = in.Text(600);
    LeadModel model = UseCodePage(codePage);
    ExactText baseText(base), nameText(name);

    Block out(PATH_TEXT_SIZE);
    int result = JoinPath(out.Bytes(), baseText.Get(), nameText.Get());
    std::string joined = out.Text();

    // base, a separator unless base already ends in one by the one-byte rule
    // (bases shorter than two bytes get none), then name.
    size_t n = base.size();
    bool separator = n >= 2 && !(base[n - 1] == '\\' && !model.IsLead(base[n - 2]));
    std::string expected = base + (separator ? "\\" : "") + name;

    if (expected.size() < PATH_TEXT_SIZE) {
        FUZZ_CHECK(result == 1, "refused a join that fits: %s + %s", Hex(base).c_str(), Hex(name).c_str());
        FUZZ_CHECK(joined == expected, "%s + %s gave %s", Hex(base).c_str(), Hex(name).c_str(), Hex(joined).c_str());
        FUZZ_CHECK(out.UntouchedFrom(joined.size() + 1), "write past the terminator");
    } else {
        FUZZ_CHECK(result == 0, "accepted a join of %zu bytes", expected.size());
        FUZZ_CHECK(joined.empty(), "a refused join left %s", Hex(joined).c_str());
    }

    // Joining never splits a character: with base and name whole, the name
    // starts at a character of the result and the walk ends at its end.
    if (result == 1 && model.WalksToEnd(base) && model.WalksToEnd(name)) {
        bool exact;
        std::vector<bool> starts = model.Starts(joined, &exact);
        FUZZ_CHECK(exact && starts[joined.size() - name.size()], "%s + %s split a character: %s", Hex(base).c_str(),
                   Hex(name).c_str(), Hex(joined).c_str());
    }
    return 0;
}
