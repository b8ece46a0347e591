#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace trovik {

// The text of a regular file of at most `limit` bytes, read without ever blocking on it: a
// FIFO or a device in its place is refused, not waited on. Nothing, with `problem` left
// empty, when there is no such file; nothing, with the reason, when it cannot be used.
std::optional<std::string> readSmallFile(const std::filesystem::path& file, std::size_t limit,
                                         std::string& problem);

// Replaces `file` with `text` whole, so that a reader, or a crash at any moment, finds the
// old file or the new one and never part of either: the text goes to a temporary file beside
// it ("<name>.tmp.<pid>", which no folder scanned by suffix mistakes for the real one), is
// flushed to disk, then renamed over it. Missing folders are made. Nothing on success, else
// the operating system's text for the error. The new file gets `mode` (less the umask).
std::optional<std::string> replaceFile(const std::filesystem::path& file, std::string_view text,
                                       mode_t mode = 0644);

}  // namespace trovik
