// Tessaryn on Windows: a GUI program without a console, whose one thread runs the tray window.
#include <windows.h>

#include "launcher/platform/windows/windows_platform.hpp"
#include "launcher/supervisor.hpp"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  tessaryn::launcher::windows::WindowsPlatform platform(instance);
  tessaryn::launcher::Supervisor supervisor(platform);
  return supervisor.run();
}
