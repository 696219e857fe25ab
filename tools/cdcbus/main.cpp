#include "cdcbus.h"

int main(int argc, char** argv) { return cdcbus::run(argc, argv); }
