#pragma once

#include <cstddef>
#include <optional>
#include <string>

// Cutting streamed text (token by token from an application) into pieces worth
// synthesising on their own: at the last sentence end once enough text has gathered, at
// a clause mark or a space for long runs without a sentence end, and all at once on a
// final flush.
//
// The rule works on bytes, not characters. It cuts just after an ASCII byte (a mark or
// the space), which is never part of a multi-byte UTF-8 sequence, or takes a whole
// buffer of 150 bytes or more without any space; then a character cut short at the end
// of the buffer (tokens may end inside a character) stays for the next piece. So UTF-8
// text is never split inside a character, except by a final flush of a buffer that ends
// inside one.
//
// Contract of both functions: pure functions of the buffer, no locking and no state of
// their own, so any thread may call them; the caller serialises access to the buffer
// (the node holds its streaming mutex). Neither allocates anything but the returned
// piece, and neither throws except std::bad_alloc for that piece.

namespace ombrix::extensions::sherpa {

/// A buffer shorter than this is never cut (only a final flush takes it).
inline constexpr std::size_t kStreamingMinimumCutBytes = 50;
/// Without a sentence end, a clause mark is used only from this buffer length on.
inline constexpr std::size_t kStreamingMinimumClauseCutBytes = 80;
/// Without sentence end and clause mark, the last space (or the whole buffer when it has
/// none) is used only from this buffer length on.
inline constexpr std::size_t kStreamingMinimumSpaceCutBytes = 150;

/// Applies the cutting rule once to `buffer`.
///
/// Looks for a cut position, in this order, always taking the candidate nearest the end:
///  - at least kStreamingMinimumCutBytes: just after a sentence end: '!', '?', or a lone
///    '.' (neither neighbouring byte is a '.'; so "..." never ends a sentence, while the
///    period in "3.5" or "e.g" does);
///  - otherwise, at least kStreamingMinimumClauseCutBytes: just after ',', ':' or ';';
///  - otherwise, at least kStreamingMinimumSpaceCutBytes: just after a space (0x20), or
///    the whole buffer when it holds no space, except that a UTF-8 character at its end
///    whose last bytes have not arrived yet stays in the buffer.
/// On a cut, returns a copy of the bytes before the cut position (never empty, never
/// trimmed) and leaves the rest in `buffer`, shortened in place, with its leading spaces,
/// tabs and line feeds removed (carriage returns stay). Without a cut, returns
/// std::nullopt and leaves `buffer` unchanged. Cuts at most one piece per call.
std::optional<std::string> cutStreamingPiece(std::string& buffer);

/// The final flush: takes the whole buffer unchanged (no minimum length, no trimming) and
/// leaves `buffer` empty (the piece takes over the buffer's storage, so this allocates
/// nothing at all). Returns std::nullopt for an empty buffer, so that nothing is
/// queued; a buffer of only whitespace is returned as it is.
std::optional<std::string> takeFinalStreamingPiece(std::string& buffer);

} // namespace ombrix::extensions::sherpa
