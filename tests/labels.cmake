# Labels for ctest, read after the test programs' tests are discovered: each test
# carries the label of its program (engine, starter) and, unless it belongs to a suite
# known to be slow, the label fast: `ctest -L fast` (make test-fast) is the quick
# subset for the edit-compile loop (about 9 s of processor time).
#
# Slow: the suites with a test over half a second on a busy two-core machine, those
# that run the engine or the starter on whole recordings, render or engrave pieces, or
# wait on processes, pipes and signals. A new suite is fast until it joins this list.
set(slow_suites "^(starter\\.)?(OutputBytes|RealEngine|TimeBase|StopSignals|Instruments|Scheduler|\
AttackEvidenceSweep|BeatStarter|Refusals|Outputs|StarterFixture|ScoreFile|OutputGuard|ScoreOutputs|\
RefineTimeline|Audio|ScoreMuseScore|TrackerTest|ScoreWithTheEngine|LateStops|FinishRun|StatusRun|\
TempoFile|RefineRules|RefinedBytes|Pulse|MetreChoice|Following|Metre|TempoMap|Tracking|Planning|MidiInput|MidiInputWithTheEngine|\
DetectionRuns|BatchSkip|ServeThreads)\\.")

foreach(program engine starter)
  if(program STREQUAL engine)
    set(list_name sonoscriptor-tests_TESTS)
  else()
    set(list_name sonoscriptor-starter-tests_TESTS)
  endif()
  foreach(name IN LISTS ${list_name})
    if(name MATCHES "${slow_suites}")
      set_tests_properties("${name}" PROPERTIES LABELS "${program}")
    else()
      set_tests_properties("${name}" PROPERTIES LABELS "${program};fast")
    endif()
  endforeach()
endforeach()
