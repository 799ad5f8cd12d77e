# The window's harvest tests run for about a minute as one CTest test; started last, they would
# be left running alone at the end of a parallel run. (In a build without the window the line
# names no test, and CTest passes over it.)
set_tests_properties(app_harvest_tests PROPERTIES COST 70)
# The store browser's window tests and its watches' window tests likewise (about half a minute
# and a minute and a half).
set_tests_properties(app_store_browser_tests PROPERTIES COST 40)
set_tests_properties(app_watch_window_tests PROPERTIES COST 110)
