# nuvra_fuzz_target(<name> <libraries...>)
