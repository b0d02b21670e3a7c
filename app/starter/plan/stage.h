// The stages one input goes through: the pipeline runs them, the command line
// says in words what a file is doing in each.
#pragma once

// The stages, in order.
enum class Stage : int { Waiting, Checking, Converting, FindingBeats, WritingSettings, RunningEngine, Refining,
                         Settling, Done };
