// For the layer check's own test (ctest layers.refuses): an include that
// points up, which tools/check_layers.sh must refuse. Never compiled.
#pragma once

#include "gui/mainWin.h"
