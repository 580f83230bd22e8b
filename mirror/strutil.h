// The string rules the walks are written in: 1-based positions, 0 when a text is missing, and
// cuts that clamp instead of failing, so a missing marker simply yields what the rules give.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Position of the first `sub` in `text`, 1-based; 0 when it does not occur (or `sub` is empty).
int Pos(const std::string& text, const std::string& sub);
bool Contains(const std::string& text, const std::string& sub);
// The first n characters: empty for n <= 0, the whole text when n exceeds its length.
std::string KeepFirst(const std::string& text, int n);
// Without the first n characters: unchanged for n <= 0, empty when n exceeds its length.
std::string DropFirst(const std::string& text, int n);

// Position of the first `sub` at or after `start`; 0 when there is none.
int PosFrom(const std::string& text, const std::string& sub, int start);
// The characters from position `from` to the end; empty when from <= 0.
std::string TailFrom(const std::string& text, int from);
// The characters from position `from` to position `to` (or the end); empty when from <= 0.
std::string SubRange(const std::string& text, int from, int to);
// Every `oldText` replaced by `newText`, left to right, resuming after each replacement.
std::string ReplaceAll(const std::string& text, const std::string& oldText, const std::string& newText);
// 0 for an empty text, else the number of separators + 1.
int CountFields(const std::string& text, const std::string& separator);
// The n-th field (1-based) between separators; empty for n <= 0 or beyond the last field.
std::string NthField(const std::string& text, const std::string& separator, int n);

// Cuts the first line (up to the first LF) off `pageText` and returns it; the whole rest
// when there is no LF, empty once the text is used up. A view, so cutting a long page line by
// line costs no copying of the rest.
std::string TakeFirstLine(std::string_view& pageText);
// What a page file yields when read as one text line: everything before the first CR or Ctrl-Z.
std::string PageText(const std::string& fileBytes);
// The page text of a saved page file; at most MaxPageBytes of the file are read, so a hostile
// server cannot make a walk hold an endless page in memory. Throws EInOutError. Page fetches
// refuse a longer page.
inline constexpr std::size_t MaxPageBytes = 16 * 1024 * 1024;
std::string ReadPageText(const std::string& fileName);

// A name from a server that may become one file or folder name: not empty, not "." or "..",
// no "/", no "\" and no control character.
bool IsSafeName(const std::string& name);
// A server path that may become a local path below the destination: no control character and
// no ".." component between "/" or "\" separators.
bool IsSafeServerPath(const std::string& path);
// `text` with control characters shown as \xNN, so a hostile name cannot garble a log line.
std::string Printable(const std::string& text);
