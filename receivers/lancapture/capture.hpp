// One capture per loop iteration: any kind of frame is taken, counted and handed back; only video
// from the selected source changes the status and, every sixth frame, the preview.
#pragma once

#include "receivers/lancapture/loop_state.hpp"

namespace tessaryn::lancapture {

void capture_step(Session& session);

}  // namespace tessaryn::lancapture
