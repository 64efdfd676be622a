// The two receivers share their publishing code but not every byte of it: the escaping of two control
// characters, the notation of floating values and the wording of failure messages differ, and the
// agent's pages depend on each program's own variant. Every shared piece takes the program it speaks for.
#pragma once

namespace tessaryn::receivers {

enum class Receiver { lancapture, wancapture };

}  // namespace tessaryn::receivers
