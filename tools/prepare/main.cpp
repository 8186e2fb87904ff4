// morvenak-prepare: the alias of `morvenak prepare`.
#include "command.hpp"

int main(int argc, char** argv) { return prepare::prepare_command("morvenak-prepare", argc, argv); }
