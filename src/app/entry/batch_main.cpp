// Program entry of a kavodown built without a window: the unattended run, the headless station,
// --list-ports, --help and --version (program_entry.h).
#include "app/entry/program_entry.h"

int main(int argc, char** argv) { return kavo::RunProgram(argc, argv, {}, KAVO_VERSION); }
