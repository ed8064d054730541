// Strokes of the readout that do not change between renders (the wide
// mark, the compact badge), drawn once over a clear canvas and laid over
// later canvases with the raster engine's own arithmetic, so that laying
// equals painting: keep is how much of each pixel beneath survives the
// layer's clearing (empty: all of it), then the pixels go over what is
// left. A value kept by the renderer; main thread.
#pragma once

#include <QImage>
#include <QPoint>
#include <vector>

namespace nerivane {

struct ReadoutLayer {
    QPoint origin;
    QImage pixels;  // premultiplied ARGB
    std::vector<uchar> keep;

    // Onto a canvas that owns its buffer (no copy is made), clipped to it.
    void layOver(QImage& canvas) const;
};

}  // namespace nerivane
