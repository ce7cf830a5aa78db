#include "tracker/StateFile.h"

#include "tracker/Pending.h"

void StateFile::SetStateFile(const std::string&, i32) {
  Pending(__func__);
}
void StateFile::SetOutputFolder(const std::string&) {
  Pending(__func__);
}
bool StateFile::SaveState(const std::string&) {
  Pending(__func__);
}
bool StateFile::LoadState(const std::string&) {
  Pending(__func__);
}
