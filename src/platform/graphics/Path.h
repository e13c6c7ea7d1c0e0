#pragma once
#include <vector>

#include "platform/Geometry.h"

namespace platform {

class GraphicsContext;

enum class LineCap { butt, round, square };

// A vector path in the context's user space (y up). Angles are degrees, counter-clockwise
// from the positive x axis.
class Path {
public:
    Path() = default;
    static Path rect(Rect rect);
    static Path roundedRect(Rect rect, double xRadius, double yRadius);
    static Path oval(Rect rect);

    void moveTo(Point p);
    void lineTo(Point p);
    void curveTo(Point end, Point control1, Point control2);
    // Draws a line from the current point (if any) to the arc's start, then the arc.
    void appendArc(Point center, double radius, double startAngle, double endAngle, bool clockwise);
    void close();

    double lineWidth() const { return lineWidth_; }
    void setLineWidth(double width) { lineWidth_ = width; }
    LineCap lineCap() const { return lineCap_; }
    void setLineCap(LineCap cap) { lineCap_ = cap; }

    bool isEmpty() const { return elements_.empty(); }
    // Smallest rectangle holding every point of the path, control points included.
    Rect bounds() const;

    // Use the context's current fill or stroke colour and shadow.
    void fill(GraphicsContext& context) const;
    void stroke(GraphicsContext& context) const;

    struct Element {
        enum class Kind { move, line, curve, arc, close } kind;
        Point points[3];
        double radius = 0;
        double startAngle = 0;
        double endAngle = 0;
        bool clockwise = false;
    };
    const std::vector<Element>& elements() const { return elements_; }

private:
    std::vector<Element> elements_;
    double lineWidth_ = 1;
    LineCap lineCap_ = LineCap::butt;
};

}  // namespace platform
