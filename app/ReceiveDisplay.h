// What the main window keeps about the receive area's showing.
#pragma once

#include "app/MainForm.h"

struct TMainForm::RxDisplay {
  bool showsStore = false;  // Memo1 shows the rows of ReceiveStore
};
