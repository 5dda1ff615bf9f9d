/*
 * main.cpp - tolmu-sim: the simulated PC booted with and without Tolmu.
 */
#include <iostream>

#include "cli.h"
#include "standin.h"

int main(int argc, char **argv)
{
    int status = RunTolmuSim(argc, argv, std::cout, std::cerr);
    /* The stand-in's pool keeps freed blocks poisoned for a while to catch a
     * late use; give them back before exit, so that a leak checker sees only
     * real leaks. */
    standin::Reset();
    return status;
}
