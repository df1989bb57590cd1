# Tests of the default notes: the INI and 7z readers, the description and
# template handling, the shipped archives, and the locale mapping.
rk_add_test(rk_ini_reader_test rk_ini_reader_test.cc)
rk_add_test(rk_lzma_util_test rk_lzma_util_test.cc)
rk_add_test(rk_default_notes_test rk_default_notes_test.cc)
