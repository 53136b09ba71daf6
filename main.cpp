#include "boot/startup.h"

int main(int argc, char** argv) { return kel::program_entry(argc, argv); }
