// SplitPathRoot over any source text of up to 511 bytes, held in a heap block
// of exactly its length + 1, into a 512-byte heap buffer at an offset (as a
// caller appending after earlier text would), so that reads past the source's
// terminator and writes past the buffer are both reported.
//
// Input: [code page] [room] [source bytes...]. The room byte gives the bytes
// from the output cursor to the end of the buffer: 512 for 0x00-0x7F, 0 to
// 63 for 0x80-0xBF, 64 to 505 in steps of 7 for 0xC0-0xFF.
#include "fuzz_support.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ResetMachineAtEnd resetAtEnd;
    Input in{data, size};
    UINT codePage = PickCodePage(in.Byte());
    uint8_t roomByte = in.Byte();
    size_t room = roomByte < 0x80 ? PATH_TEXT_SIZE : roomByte < 0xC0 ? roomByte - 0x80u : 64u + 7u * (roomByte - 0xC0u);
    size_t offset = PATH_TEXT_SIZE - room;
    std::string source = in.Text(PATH_TEXT_SIZE - 1);
    LeadModel model = UseCodePage(codePage);
    ExactText sourceText(source);

    Block out(PATH_TEXT_SIZE);
    const char *start = sourceText.Get();
    char *outStart = out.Bytes() + offset;
    const char *s = start;
    char *d = outStart;
    int result = SplitPathRoot(&s, &d, room);

    size_t expectedLength = 0;
    bool expected = ModelRoot(model, source, room, &expectedLength);
    FUZZ_CHECK(result == (expected ? 1 : 0), "source %s, room %zu: result %d", Hex(source).c_str(), room, result);
    FUZZ_CHECK(out.Untouched(0, offset), "write before the output cursor");

    if (result == 0) {
        FUZZ_CHECK(s == start && d == outStart, "a failed split moved the cursors: source %s", Hex(source).c_str());
        return 0;
    }
    size_t taken = (size_t)(s - start);
    size_t written = (size_t)(d - outStart);
    FUZZ_CHECK(taken == expectedLength && written == taken, "source %s: took %zu, wrote %zu, root is %zu bytes",
               Hex(source).c_str(), taken, written, expectedLength);
    FUZZ_CHECK(memcmp(outStart, start, taken) == 0 && *d == '\0', "the root of %s is not copied as it is",
               Hex(source).c_str());
    FUZZ_CHECK(out.UntouchedFrom(offset + written + 1), "write past the root's terminator");
    // The source cursor stands at a separator that is not a trail byte, or at the end.
    std::vector<bool> starts = model.Starts(source, nullptr);
    FUZZ_CHECK(taken == source.size() || (starts[taken] && source[taken] == '\\'),
               "source %s: the cursor stops inside a name or a character", Hex(source).c_str());
    return 0;
}
