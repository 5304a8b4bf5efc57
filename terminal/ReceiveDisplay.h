// What the main window keeps about the receive area's rendering.
#pragma once

#include "app/MainForm.h"
#include "terminal/ReceiveRenderer.h"

struct TMainForm::RxDisplay {
  ReceiveRenderer renderer;
  bool showsStore = false;  // Memo1 holds the rendering of ReceiveStore
  bool hex = false;         // in this rendering
};
