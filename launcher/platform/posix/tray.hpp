// The tray icon and its menu, through GTK's status icon (the freedesktop system tray: left click,
// right-click menu, tooltip). Without a display the launcher runs on without a tray; without a tray
// host on the display the icon simply stays unseen, as it would on a desktop with no tray area.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "launcher/platform.hpp"

typedef struct _GdkPixbuf GdkPixbuf;
typedef struct _GtkStatusIcon GtkStatusIcon;
typedef struct _GtkMenuItem GtkMenuItem;

namespace tessaryn::launcher::posix {

// RGBA pixels of the application icon, `size` by `size`: an amber seven-segment 8 on a dark tile.
std::vector<std::uint8_t> icon_pixels(int size);

class Tray {
 public:
  Tray() = default;
  ~Tray();
  Tray(const Tray&) = delete;
  Tray& operator=(const Tray&) = delete;

  // Opens the display once; false when there is none (the launcher then runs headless).
  bool open_display();
  bool has_display() const { return display_open_; }
  bool load_icons();
  void show_error(const std::string& text, const std::string& caption);
  void show(LoopEvents& events);
  void remove();

 private:
  struct PendingCommand {
    Tray* tray;
    int id;
  };
  static void on_activate(GtkStatusIcon*, void* self);
  static void on_menu_item(GtkMenuItem* chosen, void* self);
  static void on_popup_menu(GtkStatusIcon*, unsigned button, unsigned activate_time, void* self);

  bool display_tried_ = false;
  bool display_open_ = false;
  GdkPixbuf* large_icon_ = nullptr;
  GdkPixbuf* small_icon_ = nullptr;
  GtkStatusIcon* status_icon_ = nullptr;
  LoopEvents* events_ = nullptr;
};

}  // namespace tessaryn::launcher::posix
