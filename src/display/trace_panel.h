// The trace panel: a display context with a pen in the trace colour and a brush in the
// background colour, the fixed panel rectangle, and the mapping of samples to screen points.
#ifndef QWF_DISPLAY_TRACE_PANEL_H
#define QWF_DISPLAY_TRACE_PANEL_H

#include "common/blocks.h"

namespace qwf {

struct TracePanel {
    HDC dc = nullptr;
    HPEN pen = nullptr;
    HBRUSH brush = nullptr;
    // What the context held before the pen and brush were selected, put back before deleting.
    HGDIOBJ originalPen = nullptr;
    HGDIOBJ originalBrush = nullptr;
};

using Trace = POINT[TRACE_POINTS];

constexpr int PANEL_LEFT = QWF_PANEL_LEFT;
constexpr int PANEL_TOP = QWF_PANEL_TOP;
constexpr int PANEL_RIGHT = QWF_PANEL_RIGHT;    // exclusive
constexpr int PANEL_BOTTOM = QWF_PANEL_BOTTOM;  // exclusive
constexpr int TRACE_STRIDE = 8;                 // samples between consecutive points
constexpr int TRACE_DIVISOR = 240;
constexpr double TRACE_SCALE = 5.0 / 7.0;
constexpr double TRACE_CENTRE = 128.0;

// Playback traces samples 0, 8, ...; recording traces samples 1, 9, ....
constexpr int PLAYBACK_FIRST_SAMPLE = 0;
constexpr int RECORDING_FIRST_SAMPLE = 1;

// Creates the context, then the brush (selected), then the pen (selected). The panel must
// hold none yet: Release the previous ones first.
void SetUp(TracePanel& panel, COLORREF traceColor, COLORREF backColor);

// Selects the original pen and brush back, deletes the context, the pen and the brush, and
// empties the panel; nothing for an empty one. Only once no handler can draw with them.
void Release(TracePanel& panel);

// Screen row of one sample.
int TraceRow(Sample sample);

// Point i takes sample first + 8 * i of the block (little-endian, as blocks hold samples).
void BuildTrace(Trace& trace, const Sample* samples, int first);

// Fills the panel with the brush and outlines it with the pen.
void Clear(const TracePanel& panel);

// Clears the panel, then draws the trace as one open line.
void Draw(const TracePanel& panel, const Trace& trace);

}  // namespace qwf

#endif
