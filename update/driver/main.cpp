// Program entry: the driver is the only reader of the command line.
#include "driver/driver.h"

int main(int argc, char** argv) { return RunUpdate(argc, argv); }
