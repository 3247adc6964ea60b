# The tracking worker end to end: synthetic camera, detection, clients on loopback.
quillmark_test(worker_test SOURCES tracking/worker_test.cpp LIBS qm_net qm_tracking)
