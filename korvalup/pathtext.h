// Path text and message text: NUL-terminated byte strings in the active ANSI
// code page, held in fixed buffers. A 0x5C byte is a separator only where it
// is not the trail byte of a two-byte character.
//
// Every operation that writes into a buffer measures what it writes. A path
// that would not fit in its 512-byte buffer is refused: the operation returns
// 0 and leaves the output as empty text, never a cut path.
#ifndef KORVALUP_PATHTEXT_H
#define KORVALUP_PATHTEXT_H

#include "platform.h"

#include <stddef.h>

enum {
    PATH_TEXT_SIZE = 512,     // at most 511 bytes of text
    MESSAGE_TEXT_SIZE = 1024, // longer messages are cut to fit
};

typedef char PathText[PATH_TEXT_SIZE];

// Reads the lead-byte ranges of the active ANSI code page. Called once at
// start-up; until then, and when the code page cannot be queried, no byte is
// a lead byte.
void InitLeadBytes();
bool IsLeadByte(BYTE value);

// Copies text into out (size bytes); 1 when it fit, else 0 with out empty.
int CopyText(char *out, size_t size, const char *text);
// Appends text to out (size bytes); 1 when it fit, else 0 with out unchanged.
int AppendText(char *out, size_t size, const char *text);

// printf-style formatting with only %s and %05d (and %%). A result longer than
// size - 1 bytes is cut to fit, never inside a two-byte character. Returns 1
// when the whole result fit, 0 when it was cut.
int FormatText(char *out, size_t size, const char *format, ...);

// Shows a modal box without owner whose text is format with up to three %s
// arguments, cut to MESSAGE_TEXT_SIZE; returns the button pressed.
int ShowMessage(UINT style, const char *caption, const char *format, const char *first = "",
                const char *second = "", const char *third = "");

// Mode 1 adds a trailing separator, any other mode removes one. Paths shorter
// than two bytes are never changed. Returns 0 (path unchanged) only when an
// added separator would not fit in the buffer of size bytes.
int AdjustTrailingBackslash(char *path, int mode, size_t size = PATH_TEXT_SIZE);

// out = base, a separator when base does not end in one (an empty base gets
// none), then name. 1, or 0 with out empty when the result would not fit in
// size bytes. out may not overlap base or name.
int JoinPath(char *out, const char *base, const char *name, size_t size = PATH_TEXT_SIZE);

// The running executable's folder, ending in a separator, into buffer.
// 1, or 0 when the module path cannot be had, was cut, or holds no separator.
int GetModuleFolder(char *buffer, size_t size);

// Copies the root of an absolute path (a drive "C:" or a share "\\srv\share")
// from *source to *output and moves both cursors: *source to the separator
// after the root or the end, *output to the terminator written after the
// root. outputSize is the room from *output on. 0 when the path is not
// absolute, a name ends in a lone lead byte, or the root would not fit; the
// cursors then stay where they were.
int SplitPathRoot(const char **source, char **output, size_t outputSize);

// The path names an existing file or folder.
bool PathExists(const char *path);

#endif
