// The window tests' entry point.
#include "tests/gui/gui_fixture.h"

int main(int argc, char** argv) { return runWindowTests(argc, argv); }
