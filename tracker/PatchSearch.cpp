#include "tracker/PatchSearch.h"

#include "tracker/Pending.h"

void PatchSearch::SearchMatchPatches(u16, int, std::vector<ImageMatch>&, float) {
  Pending(__func__);
}
void PatchSearch::RejectOutlierMatches(u16, float) {
  Pending(__func__);
}
void PatchSearch::RefineMatches(u16) {
  Pending(__func__);
}
void PatchSearch::SaveFrameMatches(u16) {
  Pending(__func__);
}
void PatchSearch::RestoreFrameMatches(u16) {
  Pending(__func__);
}
