// Entry point: the whole program is the run driver.
#include "driver/driver.hpp"

int main() { return morvenak::run_program(); }
