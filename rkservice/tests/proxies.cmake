# Tests of the account and updater proxies and of the stand-in of the
# browser's main library they forward to.
rk_add_test(rk_halvex_interface_test rk_halvex_interface_test.cc)
add_dependencies(rk_halvex_interface_test halvex)

rk_add_test(rk_proxy_handlers_test rk_proxy_handlers_test.cc rk_test_http.cc)
add_dependencies(rk_proxy_handlers_test halvex)

# Loads a copy of the shipped library beside each variant of the stand-in.
rk_add_black_box_test(rk_halvex_binding_test rk_halvex_binding_test.cc)
add_dependencies(rk_halvex_binding_test halvex halvex_without_export)
