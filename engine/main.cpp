#include "engine/startup.h"

int main(int argc, char** argv) { quorin_main(argc, argv); }
