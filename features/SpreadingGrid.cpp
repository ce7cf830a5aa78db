#include "features/SpreadingGrid.h"

void MarkCell3x3Clipped(OccupancyMask& mask, u16 x, u16 y) {
  // A cell just past the last column or row (a position in the partial cell
  // at the image edge) still reaches back into the mask.
  if (mask.Width() == 0 || mask.Height() == 0 || x > mask.Width() || y > mask.Height()) return;
  MarkSpreadSquare<1>(mask, x, y);
}
