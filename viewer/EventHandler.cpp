#include "viewer/EventHandler.h"

int TranslateKeySym(unsigned int keysym, bool ctrlHeld) {
  switch (keysym) {
    case 0xff1b:  // Escape
      return 27;
    case 0xff09:  // Tab
      return 9;
    case 0xff0d:  // Return
    case 0xff8d:  // keypad Enter
      return 13;
    case 0xff08:  // BackSpace
      return 8;
    default:
      break;
  }
  if (ctrlHeld) {
    if (keysym >= 'a' && keysym <= 'z') return static_cast<int>(keysym - 'a' + 1);
    if (keysym >= 'A' && keysym <= 'Z') return static_cast<int>(keysym - 'A' + 1);
  }
  return static_cast<int>(keysym);
}

bool IsCtrlKeySym(unsigned int keysym) {
  return keysym == 0xffe3 || keysym == 0xffe4;
}
