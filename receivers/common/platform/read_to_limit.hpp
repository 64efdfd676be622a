// The reading loop of a bounded file read, the same over either system's calls.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "receivers/common/platform.hpp"

namespace tessaryn::receivers::platform {

// Everything an opened file holds, at most `limit` bytes, through `read_some(buffer, room, error)`,
// which answers the bytes read (0 at the end), or a negative count with the system's error number
// stored in `error`. The caller owns and closes the file.
template <class ReadSome>
FileRead read_to_limit(std::size_t limit, ReadSome&& read_some) {
  FileRead result;
  // One byte more than the limit tells a file that is too long without reading all of it.
  std::string content(limit + 1, '\0');
  std::size_t done = 0;
  for (;;) {
    int error = 0;
    const long long n = read_some(content.data() + done, content.size() - done, error);
    if (n < 0) {
      result.status = ReadStatus::failed;
      result.error_number = error;
      return result;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
    if (done > limit) {
      result.status = ReadStatus::too_large;
      return result;
    }
  }
  content.resize(done);
  result.status = ReadStatus::ok;
  result.bytes = std::move(content);
  return result;
}

}  // namespace tessaryn::receivers::platform
