/*
 * main.cpp - tolmu-sim: the simulated PC booted with and without Tolmu.
 */
#include <iostream>

#include "cli.h"

int main(int argc, char **argv)
{
    return RunTolmuSim(argc, argv, std::cout, std::cerr);
}
