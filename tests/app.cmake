# The application shell: the configuration file.
quillmark_test(config_test SOURCES app/config_test.cpp LIBS qm_app)
