// The files through which the agent steers lancapture and reads what it publishes, relative to the
// working directory the agent starts it in.
#pragma once

namespace tessaryn::lancapture {

inline constexpr const char* kSelectionPath = "app/static/ndi_selection.txt";
inline constexpr const char* kRefreshPath = "app/static/ndi_refresh.request";
// A stop request is this file with any content; an empty one left behind is none.
inline constexpr const char* kStopPath = "app/static/ndi_stop.request";
inline constexpr const char* kSourcesPath = "app/static/ndi_sources.json";
inline constexpr const char* kStatusPath = "app/static/ndi_status.json";
inline constexpr const char* kPreviewPath = "app/static/ndi_preview.jpg";
inline constexpr const char* kPreviewTempPath = "app/static/ndi_preview.tmp.jpg";
inline constexpr const char* kLatencyPath = "app/static/ndi_latency.json";

// The single-instance name: the mutex Local\TessarynNdiReceiver on Windows, the lock file
// TessarynNdiReceiver.lock in the working directory elsewhere.
inline constexpr const char* kInstanceName = "TessarynNdiReceiver";

}  // namespace tessaryn::lancapture
