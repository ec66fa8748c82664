// Program entry: no arguments are read.
#include "driver/driver.h"

int main() { return RunUpdate(); }
