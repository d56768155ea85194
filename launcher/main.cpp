#include "launcher/Control.h"

int main(int argc, char** argv) { return ControlMain(argc, argv); }
