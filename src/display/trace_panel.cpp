#include "display/trace_panel.h"

namespace qwf {

void SetUp(TracePanel& panel, COLORREF traceColor, COLORREF backColor) {
    panel.dc = CreateDCW(TEXT("DISPLAY"), nullptr, nullptr, nullptr);
    panel.brush = CreateSolidBrush(backColor);
    panel.originalBrush = SelectObject(panel.dc, panel.brush);
    panel.pen = CreatePen(PS_SOLID, 1, traceColor);
    panel.originalPen = SelectObject(panel.dc, panel.pen);
}

void Release(TracePanel& panel) {
    // GDI refuses to delete a pen or brush still selected into a context.
    if (panel.dc != nullptr) {
        if (panel.originalPen != nullptr) SelectObject(panel.dc, panel.originalPen);
        if (panel.originalBrush != nullptr) SelectObject(panel.dc, panel.originalBrush);
        DeleteDC(panel.dc);
    }
    if (panel.pen != nullptr) DeleteObject(panel.pen);
    if (panel.brush != nullptr) DeleteObject(panel.brush);
    panel = TracePanel{};
}

int TraceRow(Sample sample) {
    // Dividing before scaling makes the trace move in steps of 240 sample units.
    const int quotient = sample / TRACE_DIVISOR;
    const double row = static_cast<double>(quotient) * TRACE_SCALE + TRACE_CENTRE;
    return static_cast<int>(row);
}

void BuildTrace(Trace& trace, const Sample* samples, int first) {
    for (int i = 0; i < TRACE_POINTS; ++i) {
        trace[i].x = i;
        trace[i].y = TraceRow(FromLittleEndian(samples[first + TRACE_STRIDE * i]));
    }
}

void Clear(const TracePanel& panel) {
    Rectangle(panel.dc, PANEL_LEFT, PANEL_TOP, PANEL_RIGHT, PANEL_BOTTOM);
}

void Draw(const TracePanel& panel, const Trace& trace) {
    Clear(panel);
    Polyline(panel.dc, trace, TRACE_POINTS);
}

}  // namespace qwf
