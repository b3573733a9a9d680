#include "recordings/svg_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace velmora::cli {
namespace {

constexpr double Width = 960, Height = 540;
constexpr double Left = 86, Right = 30, Top = 70, Bottom = 62;
constexpr double PlotW = Width - Left - Right, PlotH = Height - Top - Bottom;
constexpr std::size_t MaxColumns = 2 * static_cast<std::size_t>(PlotW);
const char Font[] = "DejaVu Sans, Helvetica, Arial, sans-serif";

// 1, 2 or 5 times a power of ten, so that about `target` steps cover `range`.
double NiceStep(double range, int target) {
  if (!(range > 0)) return 1;
  const double raw = range / target;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  const double f = raw / magnitude;
  return (f < 1.5 ? 1 : f < 3 ? 2 : f < 7 ? 5 : 10) * magnitude;
}

std::string Fixed(double v, int decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  std::string s = text;
  if (s == "-0" || s.compare(0, 3, "-0.") == 0) {
    // Rounded to zero: no minus sign.
    bool allZero = s.find_first_not_of("-0.") == std::string::npos;
    if (allZero) s.erase(0, 1);
  }
  return s;
}

std::string ValueLabel(double v, double step) {
  const double a = std::fabs(v);
  if (a >= 1e6) {
    static const char* const prefixes[] = {"", "k", "M", "G", "T", "P", "E"};
    int p = 0;
    double scaled = v, scaledStep = step;
    while (std::fabs(scaled) >= 1000 && p < 6) {
      scaled /= 1000;
      scaledStep /= 1000;
      ++p;
    }
    const int decimals = scaledStep >= 1 ? 0 : std::min(3, int(std::ceil(-std::log10(scaledStep))));
    return Fixed(scaled, decimals) + prefixes[p];
  }
  // Thousands separators for the integers the device sends.
  const int decimals = step >= 1 ? 0 : std::min(3, int(std::ceil(-std::log10(step))));
  std::string s = Fixed(v, decimals);
  const std::size_t start = s[0] == '-' ? 1 : 0;
  std::size_t end = s.find('.');
  if (end == std::string::npos) end = s.size();
  for (std::size_t i = end; i > start + 3; i -= 3) s.insert(i - 3, ",");
  return s;
}

std::string Num(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", v);
  return text;
}

}  // namespace

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        // Control characters are not allowed in XML 1.0 text.
        if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n') out += c;
    }
  }
  return out;
}

SamplePlot::SamplePlot(std::int32_t frequencyHz) : Hz(frequencyHz > 0 ? frequencyHz : 1) {}

void SamplePlot::Merge() {
  std::vector<Column> merged((Columns.size() + 1) / 2);
  for (std::size_t i = 0; i < Columns.size(); ++i) {
    const Column& c = Columns[i];
    if (c.Count == 0) continue;
    Column& m = merged[i / 2];
    if (m.Count == 0) {
      m = c;
    } else {
      m.Min = std::min(m.Min, c.Min);
      m.Max = std::max(m.Max, c.Max);
      m.Last = c.Last;
      m.Count += c.Count;
    }
  }
  Columns.swap(merged);
  Span *= 2;
}

void SamplePlot::Add(std::uint64_t index, std::uint64_t value) {
  if (Count == 0) {
    Origin = index;
    Lowest = Highest = value;
  }
  if (index < Origin) return;  // out of order: not ours to draw
  std::uint64_t column = (index - Origin) / Span;
  while (column >= MaxColumns) {
    Merge();
    column = (index - Origin) / Span;
  }
  if (column >= Columns.size()) Columns.resize(column + 1);
  Column& c = Columns[column];
  if (c.Count == 0) {
    c.Min = c.Max = c.First = value;
  } else {
    c.Min = std::min(c.Min, value);
    c.Max = std::max(c.Max, value);
  }
  c.Last = value;
  ++c.Count;
  ++Count;
  LastIndex = std::max(LastIndex, index);
  Lowest = std::min(Lowest, value);
  Highest = std::max(Highest, value);
}

struct SamplePlot::Axes {
  double T0 = 0, T1 = 1, Span = 1;  // seconds
  const char* Unit = "s";
  double UnitScale = 1;             // seconds to Unit
  double XStep = 1;
  double YMin = 0, YMax = 1, YStep = 1;
  double X(double t) const { return Left + (t - T0) / Span * PlotW; }
  double Y(double v) const { return Top + PlotH - (v - YMin) / (YMax - YMin) * PlotH; }
};

SamplePlot::Axes SamplePlot::Scale() const {
  // Time axis: the samples' own times, in the unit that suits the span.
  Axes a;
  a.T0 = double(Origin) / Hz;
  a.T1 = double(LastIndex) / Hz;
  if (Count < 2 || a.T1 <= a.T0) a.T1 = a.T0 + 1.0 / Hz;
  a.Span = a.T1 - a.T0;
  if (a.Span < 1e-3) {
    a.Unit = "\xC2\xB5s";
    a.UnitScale = 1e6;
  } else if (a.Span < 1) {
    a.Unit = "ms";
    a.UnitScale = 1e3;
  }
  a.XStep = NiceStep(a.Span * a.UnitScale, 8) / a.UnitScale;
  double lo = double(Lowest), hi = double(Highest);
  if (Count == 0) lo = 0, hi = 1;
  a.YStep = std::max(1.0, NiceStep(hi - lo, 6));
  a.YMin = std::floor(lo / a.YStep) * a.YStep;
  a.YMax = std::ceil(hi / a.YStep) * a.YStep;
  if (a.YMax <= a.YMin) a.YMax = a.YMin + a.YStep;
  return a;
}

std::string SamplePlot::Heading(const std::string& title, const std::string& subtitle) const {
  std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(Width) + "\" height=\"" + Num(Height) +
       "\" viewBox=\"0 0 " + Num(Width) + " " + Num(Height) + "\" font-family=\"" + Font + "\">\n";
  s += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  s += "<defs><clipPath id=\"plot\"><rect x=\"" + Num(Left) + "\" y=\"" + Num(Top) + "\" width=\"" + Num(PlotW) +
       "\" height=\"" + Num(PlotH) + "\"/></clipPath></defs>\n";
  s += "<text x=\"" + Num(Left) + "\" y=\"30\" font-size=\"18\" font-weight=\"bold\" fill=\"#1b1f24\">" +
       XmlEscape(title) + "</text>\n";
  std::string sub = subtitle;
  if (Span > 1) {
    if (!sub.empty()) sub += " \xC2\xB7 ";
    sub += "each column: min to max of " + std::to_string(Span) + " samples";
  }
  s += "<text x=\"" + Num(Left) + "\" y=\"52\" font-size=\"13\" fill=\"#57606a\">" + XmlEscape(sub) + "</text>\n";
  s += "<rect x=\"" + Num(Left) + "\" y=\"" + Num(Top) + "\" width=\"" + Num(PlotW) + "\" height=\"" + Num(PlotH) +
       "\" fill=\"#f8f9fb\"/>\n";
  return s;
}

std::string SamplePlot::Grid(const Axes& a, std::string& labels) const {
  std::string s = "<g stroke=\"#e1e4e8\" stroke-width=\"1\">\n";
  const int xDecimals = std::max(0, int(std::ceil(-std::log10(a.XStep * a.UnitScale) - 1e-9)));
  for (double t = std::ceil(a.T0 / a.XStep - 1e-9) * a.XStep; t <= a.T1 + a.XStep * 1e-9; t += a.XStep) {
    const double x = a.X(t);
    s += "<line x1=\"" + Num(x) + "\" y1=\"" + Num(Top) + "\" x2=\"" + Num(x) + "\" y2=\"" + Num(Top + PlotH) +
         "\"/>\n";
    labels += "<line x1=\"" + Num(x) + "\" y1=\"" + Num(Top + PlotH) + "\" x2=\"" + Num(x) + "\" y2=\"" +
              Num(Top + PlotH + 5) + "\" stroke=\"#57606a\"/>\n";
    labels += "<text x=\"" + Num(x) + "\" y=\"" + Num(Top + PlotH + 20) + "\" text-anchor=\"middle\">" +
              Fixed(t * a.UnitScale, xDecimals) + "</text>\n";
  }
  for (double v = a.YMin; v <= a.YMax + a.YStep * 1e-9; v += a.YStep) {
    const double y = a.Y(v);
    s += "<line x1=\"" + Num(Left) + "\" y1=\"" + Num(y) + "\" x2=\"" + Num(Left + PlotW) + "\" y2=\"" + Num(y) +
         "\"/>\n";
    labels += "<line x1=\"" + Num(Left - 5) + "\" y1=\"" + Num(y) + "\" x2=\"" + Num(Left) + "\" y2=\"" + Num(y) +
              "\" stroke=\"#57606a\"/>\n";
    labels += "<text x=\"" + Num(Left - 9) + "\" y=\"" + Num(y + 4) + "\" text-anchor=\"end\">" +
              ValueLabel(v, a.YStep) + "</text>\n";
  }
  return s + "</g>\n";
}

// One polyline per run of filled columns; a lone column is a dot.
std::string SamplePlot::Trace(const Axes& a) const {
  std::string s = "<g clip-path=\"url(#plot)\" fill=\"none\" stroke=\"#0b62d6\" stroke-width=\"1.4\" "
                  "stroke-linejoin=\"round\" stroke-linecap=\"round\">\n";
  std::string points, dots;
  std::size_t pointCount = 0;
  auto flush = [&] {
    if (pointCount == 1) {
      dots += "<circle cx=\"" + points.substr(0, points.find(',')) + "\" cy=\"" +
              points.substr(points.find(',') + 1) + "\" r=\"1.8\"/>\n";
    } else if (pointCount > 1) {
      s += "<polyline points=\"" + points + "\"/>\n";
    }
    points.clear();
    pointCount = 0;
  };
  auto point = [&](double x, double y) {
    if (!points.empty()) points += ' ';
    points += Num(x) + "," + Num(y);
    ++pointCount;
  };
  const bool markers = Span == 1 && Count <= 80;
  for (std::size_t i = 0; i < Columns.size(); ++i) {
    const Column& c = Columns[i];
    if (c.Count == 0) {
      flush();
      continue;
    }
    const double x = a.X((double(Origin) + double(i) * Span + (Span - 1) / 2.0) / Hz);
    if (Span == 1 || c.Min == c.Max) {
      point(x, a.Y(double(c.First)));
    } else if (c.First <= c.Last) {
      point(x, a.Y(double(c.Min)));
      point(x, a.Y(double(c.Max)));
    } else {
      point(x, a.Y(double(c.Max)));
      point(x, a.Y(double(c.Min)));
    }
    if (markers) dots += "<circle cx=\"" + Num(x) + "\" cy=\"" + Num(a.Y(double(c.First))) + "\" r=\"2.6\"/>\n";
  }
  flush();
  s += "</g>\n";
  if (!dots.empty()) s += "<g clip-path=\"url(#plot)\" fill=\"#0b62d6\">\n" + dots + "</g>\n";
  return s;
}

// Frame, tick labels and axis titles over the data.
std::string SamplePlot::Frame(const Axes& a, const std::string& labels) const {
  std::string s = "<rect x=\"" + Num(Left) + "\" y=\"" + Num(Top) + "\" width=\"" + Num(PlotW) + "\" height=\"" +
                  Num(PlotH) + "\" fill=\"none\" stroke=\"#8c959f\" stroke-width=\"1\"/>\n";
  s += "<g font-size=\"12\" fill=\"#24292f\">\n" + labels + "</g>\n";
  s += "<text x=\"" + Num(Left + PlotW / 2) + "\" y=\"" + Num(Height - 16) +
       "\" font-size=\"13\" text-anchor=\"middle\" fill=\"#24292f\">time (" + a.Unit + ")</text>\n";
  s += "<text transform=\"translate(22 " + Num(Top + PlotH / 2) +
       ") rotate(-90)\" font-size=\"13\" text-anchor=\"middle\" fill=\"#24292f\">sample value</text>\n";
  if (Count == 0)
    s += "<text x=\"" + Num(Left + PlotW / 2) + "\" y=\"" + Num(Top + PlotH / 2) +
         "\" font-size=\"15\" text-anchor=\"middle\" fill=\"#8c959f\">no samples</text>\n";
  return s + "</svg>\n";
}

std::string SamplePlot::Render(const std::string& title, const std::string& subtitle) const {
  const Axes a = Scale();
  std::string labels;
  std::string s = Heading(title, subtitle);
  s += Grid(a, labels);
  s += Trace(a);
  s += Frame(a, labels);
  return s;
}

}  // namespace velmora::cli
