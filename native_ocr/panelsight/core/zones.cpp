#include "panelsight/core/zones.hpp"

#include <cmath>

namespace tessaryn::panelsight {

double lower_pixel_bound(double start, double size) {
  const double edge = std::trunc(start * size);
  if (!std::isfinite(edge)) {
    return edge;  // clamping -inf or NaN to 0 would hide an unusable zone
  }
  return edge <= 0.0 ? 0.0 : edge;
}

double upper_pixel_bound(double start, double extent, double size) {
  const double edge = std::trunc((start + extent) * size);
  if (!std::isfinite(edge)) {
    return edge;
  }
  return size < edge ? size : edge;
}

PixelBounds zone_bounds(const ZoneGeometry& zone, double image_width, double image_height) {
  return PixelBounds{lower_pixel_bound(zone.x, image_width), lower_pixel_bound(zone.y, image_height),
                     upper_pixel_bound(zone.x, zone.width, image_width),
                     upper_pixel_bound(zone.y, zone.height, image_height)};
}

bool bounds_are_finite(const PixelBounds& bounds) {
  return std::isfinite(bounds.x1) && std::isfinite(bounds.y1) && std::isfinite(bounds.x2) &&
         std::isfinite(bounds.y2);
}

bool selection_is_empty(const PixelBounds& bounds) {
  // Written so that a NaN bound also counts as empty.
  return !(bounds.x1 < bounds.x2) || !(bounds.y1 < bounds.y2);
}

}  // namespace tessaryn::panelsight
