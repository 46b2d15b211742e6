// Path and message text helpers over the active ANSI code page.
#include "pathtext.h"

#include <stdarg.h>
#include <string.h>

static bool leadBytes[256];

void InitLeadBytes()
{
    memset(leadBytes, 0, sizeof leadBytes);
    CPINFO info;
    if (!GetCPInfo(GetACP(), &info))
        return;
    for (int i = 0; i + 1 < MAX_LEADBYTES; i += 2) {
        BYTE low = info.LeadByte[i];
        BYTE high = info.LeadByte[i + 1];
        if (low == 0 && high == 0)
            break;
        for (int b = low; b <= high; ++b)
            leadBytes[b] = true;
    }
}

bool IsLeadByte(BYTE value)
{
    return leadBytes[value];
}

int CopyText(char *out, size_t size, const char *text)
{
    size_t n = strlen(text);
    if (n >= size) {
        if (size > 0)
            out[0] = '\0';
        return 0;
    }
    memmove(out, text, n + 1);
    return 1;
}

int AppendText(char *out, size_t size, const char *text)
{
    size_t have = strlen(out);
    size_t n = strlen(text);
    if (have + n >= size)
        return 0;
    memmove(out + have, text, n + 1);
    return 1;
}

// Appends up to n bytes of text at out[*used], keeping room for the
// terminator and never ending on a lone lead byte. False when cut.
static bool PutText(char *out, size_t size, size_t *used, const char *text, size_t n)
{
    size_t room = size - 1 - *used;
    bool whole = n <= room;
    size_t take = 0;
    while (take < n) {
        size_t step = (IsLeadByte((BYTE)text[take]) && take + 1 < n) ? 2 : 1;
        if (take + step > room)
            break;
        take += step;
    }
    memcpy(out + *used, text, take);
    *used += take;
    out[*used] = '\0';
    return whole;
}

int FormatText(char *out, size_t size, const char *format, ...)
{
    if (size == 0)
        return 0;
    out[0] = '\0';
    size_t used = 0;
    bool whole = true;
    va_list args;
    va_start(args, format);
    const char *p = format;
    while (*p && whole) {
        const char *start = p;
        while (*p && *p != '%')
            ++p;
        if (p > start)
            whole = PutText(out, size, &used, start, (size_t)(p - start));
        if (!*p || !whole)
            break;
        if (strncmp(p, "%s", 2) == 0) {
            const char *s = va_arg(args, const char *);
            whole = PutText(out, size, &used, s, strlen(s));
            p += 2;
        } else if (strncmp(p, "%05d", 4) == 0) {
            int value = va_arg(args, int);
            char digits[16];
            int n = 0;
            unsigned long magnitude = value < 0 ? 0ul - (unsigned long)value : (unsigned long)value;
            do {
                digits[n++] = (char)('0' + magnitude % 10);
                magnitude /= 10;
            } while (magnitude);
            char number[16];
            int len = 0;
            if (value < 0)
                number[len++] = '-';
            for (int pad = n + (value < 0 ? 1 : 0); pad < 5; ++pad)
                number[len++] = '0';
            while (n)
                number[len++] = digits[--n];
            whole = PutText(out, size, &used, number, (size_t)len);
            p += 4;
        } else {
            // "%%" and anything unknown: the byte after the percent sign as it is.
            whole = PutText(out, size, &used, p[1] == '%' ? "%" : p, 1);
            p += p[1] == '%' ? 2 : 1;
        }
    }
    va_end(args);
    return whole ? 1 : 0;
}

int ShowMessage(UINT style, const char *caption, const char *format, const char *first, const char *second,
                const char *third)
{
    char text[MESSAGE_TEXT_SIZE];
    FormatText(text, sizeof text, format, first, second, third);
    return MessageBoxA(0, text, caption, style);
}

int AdjustTrailingBackslash(char *path, int mode, size_t size)
{
    size_t n = strlen(path);
    if (n < 2)
        return 1;
    bool endsInSeparator = path[n - 1] == '\\' && !IsLeadByte((BYTE)path[n - 2]);
    if (mode == 1) {
        if (!endsInSeparator) {
            if (n + 1 >= size)
                return 0;
            path[n] = '\\';
            path[n + 1] = '\0';
        }
    } else if (endsInSeparator) {
        path[n - 1] = '\0';
    }
    return 1;
}

int JoinPath(char *out, const char *base, const char *name, size_t size)
{
    if (!CopyText(out, size, base) || !AdjustTrailingBackslash(out, 1, size) || !AppendText(out, size, name)) {
        out[0] = '\0';
        return 0;
    }
    return 1;
}

int GetModuleFolder(char *buffer, size_t size)
{
    if (size < 2)
        return 0;
    DWORD limit = (DWORD)(size - 1);
    DWORD length = GetModuleFileNameA(0, buffer, limit);
    // A result that reaches the limit means the path was cut: not our folder.
    if (length == 0 || length >= limit) {
        buffer[0] = '\0';
        return 0;
    }
    buffer[length] = '\0';
    char *lastSeparator = 0;
    for (char *p = buffer; *p; ++p) {
        if (IsLeadByte((BYTE)*p)) {
            if (!p[1])
                break;
            ++p;
        } else if (*p == '\\') {
            lastSeparator = p;
        }
    }
    if (!lastSeparator) {
        buffer[0] = '\0';
        return 0;
    }
    lastSeparator[1] = '\0';
    return 1;
}

// Copies a name up to the next separator or the end. False on a lone lead
// byte before the end or when the name does not fit.
static bool CopyRootName(const char **src, char **dst, const char *dstEnd)
{
    const char *s = *src;
    char *d = *dst;
    while (*s && *s != '\\') {
        size_t step = IsLeadByte((BYTE)*s) ? 2 : 1;
        if (step == 2 && !s[1])
            return false;
        if (d + step >= dstEnd)
            return false;
        memcpy(d, s, step);
        d += step;
        s += step;
    }
    *src = s;
    *dst = d;
    return true;
}

int SplitPathRoot(const char **source, char **output, size_t outputSize)
{
    const char *s = *source;
    char *d = *output;
    const char *end = d + outputSize;
    if (s[0] == '\\' && s[1] == '\\') {
        if (outputSize < 3)
            return 0;
        d[0] = '\\';
        d[1] = '\\';
        d += 2;
        s += 2;
        if (!CopyRootName(&s, &d, end) || *s != '\\' || d + 1 >= end)
            return 0;
        *d++ = *s++;
        if (!*s || !CopyRootName(&s, &d, end))
            return 0;
    } else if (s[0] && s[1] == ':' && s[2] == '\\') {
        if (outputSize < 3)
            return 0;
        d[0] = s[0];
        d[1] = ':';
        d += 2;
        s += 2;
    } else {
        return 0;
    }
    *d = '\0';
    *source = s;
    *output = d;
    return 1;
}

bool PathExists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}
