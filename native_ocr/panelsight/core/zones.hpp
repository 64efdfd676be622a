// Zone geometry: operator-drawn rectangles in fractions of the frame, turned into pixel bounds.
// Zones are stored as fractions so that they survive a change of the video resolution.
#pragma once

namespace tessaryn::panelsight {

struct ZoneGeometry {
  double x = 0.0;
  double y = 0.0;
  double width = 0.0;
  double height = 0.0;
};

// Pixel bounds (x1, y1, x2, y2), x2 and y2 exclusive. Every value is a whole number, or not finite
// when the zone arithmetic overflowed or met a NaN: a non-finite bound has no integer value and the
// caller must reject it rather than clamp it away. x2 <= x1 or y2 <= y1 is a legal, empty area.
struct PixelBounds {
  double x1 = 0.0;
  double y1 = 0.0;
  double x2 = 0.0;
  double y2 = 0.0;
};

// The start edge of a zone along one axis: start * size truncated toward zero, raised to 0.
// The product is taken in double precision without rounding first: a zone reaching the frame edge
// must land exactly where the agent's arithmetic on the same fractions lands.
double lower_pixel_bound(double start, double size);

// The exclusive end edge along one axis: (start + extent) * size truncated toward zero, lowered to
// size. Nothing raises it to 0, so a zone that ends left of the frame yields a negative end.
double upper_pixel_bound(double start, double extent, double size);

PixelBounds zone_bounds(const ZoneGeometry& zone, double image_width, double image_height);

bool bounds_are_finite(const PixelBounds& bounds);

// True when the bounds select no pixel. The lower bounds are never negative, so an end at or
// before its start covers both a zone of no size and one that lies wholly before the frame; a
// start beyond the frame always has its end clamped at or before it.
bool selection_is_empty(const PixelBounds& bounds);

}  // namespace tessaryn::panelsight
