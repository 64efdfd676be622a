// The launcher's tray menu as Windows holds it, for the wine tests: builds the menu for the items
// given on the command line and prints each item's stored text (UTF-8), one per line, with its
// command and whether it is greyed.
//
//   tray_menu_check TEXT...      item i gets command 1001 + i; "~" before a text greys it
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "launcher/platform/windows/windows_platform.hpp"

namespace tw = tessaryn::launcher::windows;

int wmain(int argc, wchar_t** argv) {
  std::vector<tessaryn::launcher::MenuItem> items;
  for (int i = 1; i < argc; ++i) {
    std::wstring text = argv[i];
    const bool greyed = !text.empty() && text[0] == L'~';
    if (greyed) text.erase(0, 1);
    items.push_back({1000 + i, tw::utf8_from_wide(text), greyed});
  }
  HMENU menu = tw::create_tray_menu(items);
  if (menu == nullptr) return 2;
  const int count = ::GetMenuItemCount(menu);
  for (int i = 0; i < count; ++i) {
    wchar_t text[256] = {};
    ::GetMenuStringW(menu, static_cast<UINT>(i), text, 256, MF_BYPOSITION);
    const UINT state = ::GetMenuState(menu, static_cast<UINT>(i), MF_BYPOSITION);
    std::printf("%u %s %s\n", ::GetMenuItemID(menu, i), (state & MF_GRAYED) ? "greyed" : "enabled",
                tw::utf8_from_wide(text).c_str());
  }
  ::DestroyMenu(menu);
  return count == static_cast<int>(items.size()) ? 0 : 1;
}
