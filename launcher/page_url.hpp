// The two one-line texts the agent leaves for the launcher: the address of its page and its version.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tessaryn::launcher {

// How many bytes of each file are taken at most. The readers ask for one byte more, so that a file
// longer than the limit can be told from one that fits.
inline constexpr std::size_t kPageUrlByteLimit = 255;
inline constexpr std::size_t kVersionByteLimit = 127;

// The launcher opens only the agent's own loopback page: "http://127.0.0.1:" followed by a port of
// decimal digits, optionally closed by one "/". Anything else (another host, a path, a query, a
// fragment, user information) could make the launcher open an arbitrary address on the agent's
// word, so it is refused.
bool is_agent_page_url(std::string_view text);

// Trailing carriage returns and line feeds, as editors and `echo` leave them, are not part of a text.
std::string_view without_trailing_line_ends(std::string_view text);

// The address to open from the bytes read out of `tessaryn-url` (at most kPageUrlByteLimit + 1), or
// none. A file longer than the limit is refused rather than cut: its first bytes are not what the
// agent wrote. A NUL byte is refused as well, where a C string would have ended the address early.
std::optional<std::string> page_url_from_file(std::string_view bytes);

// The menu text from the bytes of `tessaryn-version.txt` (at most kVersionByteLimit + 1), as UTF-8,
// or none when nothing is left to show. The text is cosmetic, so it is cut (at the limit, at a NUL)
// rather than refused; bytes are widened one to one, each byte becoming the character of that number.
std::optional<std::string> version_from_file(std::string_view bytes);

}  // namespace tessaryn::launcher
