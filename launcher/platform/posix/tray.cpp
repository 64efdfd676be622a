// GtkStatusIcon is deprecated in GTK 3 but is the one GTK interface to the freedesktop system tray
// with separate left-click and right-click events, which the tray's behaviour is built on.
#define GDK_DISABLE_DEPRECATION_WARNINGS
#include "launcher/platform/posix/tray.hpp"

#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>

namespace tessaryn::launcher::posix {

namespace {

struct Rect {
  double x0, y0, x1, y1;  // fractions of the icon
};

// The digit box and its seven bars, as fractions of the icon's side.
constexpr double kLeft = 0.30, kRight = 0.70, kTop = 0.16, kBottom = 0.84, kBar = 0.11;
constexpr double kMiddle = (kTop + kBottom) / 2;
constexpr Rect kSegments[] = {
    {kLeft, kTop, kRight, kTop + kBar},                            // top
    {kLeft, kMiddle - kBar / 2, kRight, kMiddle + kBar / 2},       // middle
    {kLeft, kBottom - kBar, kRight, kBottom},                      // bottom
    {kLeft, kTop, kLeft + kBar, kMiddle},                          // upper left
    {kRight - kBar, kTop, kRight, kMiddle},                        // upper right
    {kLeft, kMiddle, kLeft + kBar, kBottom},                       // lower left
    {kRight - kBar, kMiddle, kRight, kBottom},                     // lower right
};
constexpr std::uint8_t kTile[4] = {20, 24, 31, 255};
constexpr std::uint8_t kAmber[4] = {255, 176, 0, 255};

GdkPixbuf* pixbuf_of_size(int size) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, size, size);
  if (pixbuf == nullptr) return nullptr;
  std::vector<std::uint8_t> pixels = icon_pixels(size);
  guchar* rows = gdk_pixbuf_get_pixels(pixbuf);
  int stride = gdk_pixbuf_get_rowstride(pixbuf);
  for (int y = 0; y < size; ++y) {
    std::copy_n(pixels.data() + static_cast<std::size_t>(y) * size * 4, size * 4, rows + y * stride);
  }
  return pixbuf;
}

void destroy_menu_later(GtkWidget* menu, gpointer) {
  // The chosen item is activated only after the menu is deactivated, so the menu must outlive this
  // signal.
  g_idle_add(
      [](gpointer widget) -> gboolean {
        gtk_widget_destroy(GTK_WIDGET(widget));
        g_object_unref(widget);
        return G_SOURCE_REMOVE;
      },
      menu);
}

}  // namespace

std::vector<std::uint8_t> icon_pixels(int size) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(size) * size * 4, 0);
  const double corner = size / 6.0;
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      double cx = x + 0.5, cy = y + 0.5;
      // Rounded tile: outside the corner circles the pixel stays transparent.
      double dx = cx < corner ? corner - cx : cx > size - corner ? cx - (size - corner) : 0;
      double dy = cy < corner ? corner - cy : cy > size - corner ? cy - (size - corner) : 0;
      if (dx * dx + dy * dy > corner * corner) continue;
      const std::uint8_t* colour = kTile;
      for (const Rect& r : kSegments) {
        if (cx >= r.x0 * size && cx < r.x1 * size && cy >= r.y0 * size && cy < r.y1 * size) colour = kAmber;
      }
      std::copy_n(colour, 4, pixels.data() + (static_cast<std::size_t>(y) * size + x) * 4);
    }
  }
  return pixels;
}

Tray::~Tray() {
  remove();
  if (large_icon_ != nullptr) g_object_unref(large_icon_);
  if (small_icon_ != nullptr) g_object_unref(small_icon_);
}

bool Tray::open_display() {
  if (!display_tried_) {
    display_tried_ = true;
    display_open_ = gtk_init_check(nullptr, nullptr);
    if (!display_open_) std::fprintf(stderr, "Tessaryn: no display; running without a tray icon\n");
  }
  return display_open_;
}

bool Tray::load_icons() {
  // Headless, there is nothing to show an icon on, and nothing is missing.
  if (!open_display()) return true;
  if (large_icon_ == nullptr) large_icon_ = pixbuf_of_size(48);
  if (small_icon_ == nullptr) small_icon_ = pixbuf_of_size(24);
  return large_icon_ != nullptr && small_icon_ != nullptr;
}

void Tray::show_error(const std::string& text, const std::string& caption) {
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  if (!open_display()) return;
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s",
                                             text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), caption.c_str());
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
}

void Tray::show(LoopEvents& events) {
  events_ = &events;
  if (!display_open_ || status_icon_ != nullptr) return;
  gtk_window_set_default_icon(large_icon_);
  status_icon_ = gtk_status_icon_new_from_pixbuf(small_icon_);
  gtk_status_icon_set_tooltip_text(status_icon_, "Tessaryn");
  gtk_status_icon_set_title(status_icon_, "Tessaryn");
  gtk_status_icon_set_name(status_icon_, "Tessaryn");
  g_signal_connect(status_icon_, "activate", G_CALLBACK(on_activate), this);
  g_signal_connect(status_icon_, "popup-menu", G_CALLBACK(on_popup_menu), this);
  gtk_status_icon_set_visible(status_icon_, TRUE);
}

void Tray::remove() {
  if (status_icon_ == nullptr) return;
  gtk_status_icon_set_visible(status_icon_, FALSE);
  g_object_unref(status_icon_);
  status_icon_ = nullptr;
  // Let the tray host see the icon go before the launcher blocks in its stop sequence.
  gdk_display_flush(gdk_display_get_default());
}

void Tray::on_activate(GtkStatusIcon*, void* self) {
  auto* tray = static_cast<Tray*>(self);
  if (tray->events_ != nullptr) tray->events_->on_tray_left_click();
}

void Tray::on_menu_item(GtkMenuItem* chosen, void* self) {
  // Handled once the menu is gone, as a posted WM_COMMAND would be: the quit command blocks in the
  // stop sequence and must not do so inside the menu.
  auto* pending = new PendingCommand{static_cast<Tray*>(self),
                                     GPOINTER_TO_INT(g_object_get_data(G_OBJECT(chosen), "tessaryn-command"))};
  g_idle_add(
      [](gpointer request) -> gboolean {
        auto* command = static_cast<PendingCommand*>(request);
        if (command->tray->events_ != nullptr) command->tray->events_->on_command(command->id);
        delete command;
        return G_SOURCE_REMOVE;
      },
      pending);
}

void Tray::on_popup_menu(GtkStatusIcon* icon, unsigned button, unsigned activate_time, void* self) {
  auto* tray = static_cast<Tray*>(self);
  if (tray->events_ == nullptr) return;
  GtkWidget* menu = gtk_menu_new();
  g_object_ref_sink(menu);
  for (const MenuItem& item : tray->events_->tray_menu()) {
    GtkWidget* entry = gtk_menu_item_new_with_label(item.text.c_str());
    gtk_widget_set_sensitive(entry, !item.greyed);
    g_object_set_data(G_OBJECT(entry), "tessaryn-command", GINT_TO_POINTER(item.command));
    g_signal_connect(entry, "activate", G_CALLBACK(on_menu_item), tray);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), entry);
  }
  g_signal_connect(menu, "deactivate", G_CALLBACK(destroy_menu_later), nullptr);
  gtk_widget_show_all(menu);
  gtk_menu_popup(GTK_MENU(menu), nullptr, nullptr, gtk_status_icon_position_menu, icon, button, activate_time);
}

}  // namespace tessaryn::launcher::posix
