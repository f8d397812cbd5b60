// The scenario helpers, compiled once more for this test program.
#include "scenarios/scenario_support.cpp"
