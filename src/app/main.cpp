#include "app/entry.h"

int main(int argc, char** argv) { return vel::RunVelmora(argc, argv); }
