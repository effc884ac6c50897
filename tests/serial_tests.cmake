# Runs that make thinned plots go one at a time. CTest reads this once the test binaries have
# listed their tests.
# (timeout_scale.cmake, written by the configure, comes first.)
math(EXPR varnok_serial_timeout "600 * ${varnok_timeout_scale}")
set_tests_properties(ClientRealWork.MakesFinalizesAndMinesAThinnedPlotAcrossSaves
                     PROPERTIES RESOURCE_LOCK plot_files TIMEOUT ${varnok_serial_timeout})
