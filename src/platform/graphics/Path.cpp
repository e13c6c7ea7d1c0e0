#include "platform/graphics/Path.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/graphics/GraphicsContext.h"

namespace platform {

namespace {
// Control-point distance for a quarter ellipse drawn with one cubic curve.
constexpr double kappa = 0.5522847498307936;
}

Path Path::rect(Rect r) {
    Path p;
    p.moveTo({r.minX(), r.minY()});
    p.lineTo({r.maxX(), r.minY()});
    p.lineTo({r.maxX(), r.maxY()});
    p.lineTo({r.minX(), r.maxY()});
    p.close();
    return p;
}

Path Path::roundedRect(Rect r, double xRadius, double yRadius) {
    double rx = std::clamp(xRadius, 0.0, r.width() / 2);
    double ry = std::clamp(yRadius, 0.0, r.height() / 2);
    if (rx <= 0 || ry <= 0) return rect(r);
    double cx = rx * kappa, cy = ry * kappa;
    Path p;
    p.moveTo({r.minX() + rx, r.minY()});
    p.lineTo({r.maxX() - rx, r.minY()});
    p.curveTo({r.maxX(), r.minY() + ry}, {r.maxX() - rx + cx, r.minY()}, {r.maxX(), r.minY() + ry - cy});
    p.lineTo({r.maxX(), r.maxY() - ry});
    p.curveTo({r.maxX() - rx, r.maxY()}, {r.maxX(), r.maxY() - ry + cy}, {r.maxX() - rx + cx, r.maxY()});
    p.lineTo({r.minX() + rx, r.maxY()});
    p.curveTo({r.minX(), r.maxY() - ry}, {r.minX() + rx - cx, r.maxY()}, {r.minX(), r.maxY() - ry + cy});
    p.lineTo({r.minX(), r.minY() + ry});
    p.curveTo({r.minX() + rx, r.minY()}, {r.minX(), r.minY() + ry - cy}, {r.minX() + rx - cx, r.minY()});
    p.close();
    return p;
}

Path Path::oval(Rect r) {
    double rx = r.width() / 2, ry = r.height() / 2;
    double cx = rx * kappa, cy = ry * kappa;
    double mx = r.midX(), my = r.midY();
    Path p;
    p.moveTo({r.maxX(), my});
    p.curveTo({mx, r.maxY()}, {r.maxX(), my + cy}, {mx + cx, r.maxY()});
    p.curveTo({r.minX(), my}, {mx - cx, r.maxY()}, {r.minX(), my + cy});
    p.curveTo({mx, r.minY()}, {r.minX(), my - cy}, {mx - cx, r.minY()});
    p.curveTo({r.maxX(), my}, {mx + cx, r.minY()}, {r.maxX(), my - cy});
    p.close();
    return p;
}

void Path::moveTo(Point p) { elements_.push_back({Element::Kind::move, {p, {}, {}}}); }
void Path::lineTo(Point p) { elements_.push_back({Element::Kind::line, {p, {}, {}}}); }
void Path::curveTo(Point end, Point control1, Point control2) {
    elements_.push_back({Element::Kind::curve, {control1, control2, end}});
}
void Path::appendArc(Point center, double radius, double startAngle, double endAngle, bool clockwise) {
    Element e{Element::Kind::arc, {center, {}, {}}};
    e.radius = radius;
    e.startAngle = startAngle;
    e.endAngle = endAngle;
    e.clockwise = clockwise;
    elements_.push_back(e);
}
void Path::close() { elements_.push_back({Element::Kind::close, {}}); }

Rect Path::bounds() const {
    double minX = std::numeric_limits<double>::infinity(), minY = minX;
    double maxX = -minX, maxY = -minX;
    auto add = [&](Point p) {
        minX = std::min(minX, p.x);
        minY = std::min(minY, p.y);
        maxX = std::max(maxX, p.x);
        maxY = std::max(maxY, p.y);
    };
    for (const Element& e : elements_) {
        switch (e.kind) {
            case Element::Kind::move:
            case Element::Kind::line: add(e.points[0]); break;
            case Element::Kind::curve:
                for (const Point& p : e.points) add(p);
                break;
            case Element::Kind::arc:
                add({e.points[0].x - e.radius, e.points[0].y - e.radius});
                add({e.points[0].x + e.radius, e.points[0].y + e.radius});
                break;
            case Element::Kind::close: break;
        }
    }
    if (minX > maxX) return Rect{};
    return Rect{{minX, minY}, {maxX - minX, maxY - minY}};
}

void Path::fill(GraphicsContext& context) const { context.fillPath(*this); }
void Path::stroke(GraphicsContext& context) const { context.strokePath(*this); }

}  // namespace platform
