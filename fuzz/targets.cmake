# nuvra_fuzz_target(<name> <libraries...>)
nuvra_fuzz_target(prot_unit nv_core)
nuvra_fuzz_target(prot_answer nv_core)
