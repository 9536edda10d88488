#include "display/trace_panel.h"

namespace qwf {

void SetUp(TracePanel& panel, COLORREF traceColor, COLORREF backColor) {
    panel.dc = CreateDCW(TEXT("DISPLAY"), nullptr, nullptr, nullptr);
    panel.brush = CreateSolidBrush(backColor);
    SelectObject(panel.dc, panel.brush);
    panel.pen = CreatePen(PS_SOLID, 1, traceColor);
    SelectObject(panel.dc, panel.pen);
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
