// How a template dialog places its controls: dialog units scaled to the
// window, fonts that grow with it, every control at least as tall as its
// text, the spare height to the stretching list, and the template mirrored
// for right-to-left languages.
#include <QFont>
#include <QRect>
#include <algorithm>
#include <cmath>
#include <vector>

#include "ui/template_dialog.h"

namespace ui {
namespace {

// The window size at which the templates look as designed with the
// desktop's font (a 480 x 640 portrait window: about 3.4 pixels a dialog
// unit). Larger windows get a larger font, up to kMaxFontScale.
constexpr double kDesignScale = 3.4;
constexpr double kMaxFontScale = 1.3;
// A dialog unit is never taller than this share of a line of text, so that
// on a large window the spare height goes to the list, not to fat fields.
// In a dialog with such a list the unit is what it was made for, an eighth
// of a line (a one-line field of 12 units is a line and a half); a dialog
// without one spreads its controls over a little more.
constexpr double kUnitPerLine = 0.125;
constexpr double kUnitPerLineNoStretch = 0.22;
// The stretching list shows at least this many lines while the window
// allows it at all.
constexpr int kMinListLines = 5;

bool SpansOverlap(int a, int a_len, int b, int b_len) {
  return a < b + b_len && b < a + a_len;
}

}  // namespace

// Dialog units scale horizontally with the window's width (every control
// keeps its share of the width) and vertically by a unit no larger than
// the horizontal one nor than the font asks, so that the template always
// fits the height; the height left over goes to the stretching control.
// Each control is at least as tall as its text needs; a control that lies
// below another in the template (their columns overlapping) stays below it,
// at the same distance, however much the one above grew. So nothing
// overlaps and nothing falls off the window, in any shape.
std::vector<QRect> TemplateDialog::Place(double sx, double v,
                                         double extra) const {
  const auto& controls = template_.controls;
  const size_t n = controls.size();
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return controls[a].y != controls[b].y ? controls[a].y < controls[b].y
                                          : controls[a].x < controls[b].x;
  });
  const int line = fontMetrics().height();
  using K = resources::ControlKind;
  std::vector<double> top(n), height(n), scaled_top(n), scaled_height(n);
  std::vector<QRect> rects(n);
  for (size_t k = 0; k < n; ++k) {
    size_t i = order[k];
    const resources::ControlTemplate& c = controls[i];
    scaled_top[i] = c.y * v;
    scaled_height[i] = c.height * v;
    double least = line + 6;
    switch (c.kind) {
      case K::kText:
        least = line;
        break;
      case K::kCheckBox:
        least = line + 2;
        break;
      case K::kIcon:
        least = 16;
        break;
      case K::kListBox:
        least = line + 8;
        break;
      case K::kMultiLineEdit:
      case K::kMultiLineInput:
        least = line + 10;
        break;
      default:
        break;
    }
    height[i] = std::max(scaled_height[i], least);
    if (c.stretch) height[i] += extra;
    top[i] = scaled_top[i];
    for (size_t m = 0; m < k; ++m) {
      size_t j = order[m];
      const resources::ControlTemplate& above = controls[j];
      if (above.y >= c.y || !SpansOverlap(above.x, above.width, c.x, c.width))
        continue;
      double moved = (top[j] - scaled_top[j]) + (height[j] - scaled_height[j]);
      top[i] = std::max({top[i], scaled_top[i] + moved, top[j] + height[j]});
    }
    rects[i] = QRect(static_cast<int>(c.x * sx), static_cast<int>(top[i]),
                     std::max(1, static_cast<int>(c.width * sx)),
                     std::max(1, static_cast<int>(height[i])));
  }
  return rects;
}

void TemplateDialog::Layout() {
  if (template_.width <= 0 || template_.height <= 0) return;
  const double w = std::max(width(), 1), h = std::max(height(), 1);
  const double sx = w / template_.width;
  // Fonts in proportion to the window, never below the desktop's.
  double font_scale = std::clamp(
      std::min(sx, h / template_.height) / kDesignScale, 1.0, kMaxFontScale);
  if (std::abs(font_scale - font_scale_) > 0.01) {
    font_scale_ = font_scale;
    QFont f = base_font_;
    if (f.pointSizeF() > 0) {
      f.setPointSizeF(f.pointSizeF() * font_scale);
    } else if (f.pixelSize() > 0) {
      f.setPixelSize(static_cast<int>(f.pixelSize() * font_scale));
    }
    setFont(f);
  }
  const int line = fontMetrics().height();
  const resources::ControlTemplate* stretch = nullptr;
  size_t stretch_index = 0;
  for (size_t i = 0; i < template_.controls.size(); ++i) {
    if (template_.controls[i].stretch) {
      stretch = &template_.controls[i];
      stretch_index = i;
    }
  }
  double v = std::min(
      sx, line * (stretch != nullptr ? kUnitPerLine : kUnitPerLineNoStretch));
  std::vector<QRect> rects;
  int bottom = 0;
  for (int attempt = 0; attempt < 40; ++attempt) {
    rects = Place(sx, v, 0);
    bottom = 0;
    for (const QRect& r : rects) bottom = std::max(bottom, r.y() + r.height());
    double need = 0;
    if (stretch != nullptr) {
      need = std::max(
          0, kMinListLines * (line + 2) + 6 - rects[stretch_index].height());
    }
    if (h - bottom >= need || v < 0.5) break;
    v *= 0.94;
  }
  if (stretch != nullptr && h > bottom) rects = Place(sx, v, h - bottom);
  for (size_t i = 0; i < template_.controls.size(); ++i) {
    QRect r = rects[i];
    // Right-to-left languages mirror the template.
    if (layoutDirection() == Qt::RightToLeft)
      r.moveLeft(width() - r.x() - r.width());
    if (QWidget* widget = Control(template_.controls[i].id))
      widget->setGeometry(r);
  }
}

}  // namespace ui
