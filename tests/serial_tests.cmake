# Runs that make thinned plots go one at a time. CTest reads this once the test binaries have
# listed their tests.
set_tests_properties(ClientRealWork.MakesFinalizesAndMinesAThinnedPlotAcrossSaves
                     PROPERTIES RESOURCE_LOCK plot_files TIMEOUT 600)
