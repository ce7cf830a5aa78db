#include "features/SpreadingGrid.h"

void MarkCell3x3Clipped(OccupancyMask& mask, u16 x, u16 y) {
  if (x >= mask.Width() || y >= mask.Height()) return;
  MarkSpreadSquare<1>(mask, x, y);
}
