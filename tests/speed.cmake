# Speed work on the detector keeps its results: outputs on fixed rendered
# frames are compared bit for bit with recorded digests.
quillmark_test(bit_identical_test
  SOURCES detect/bit_identical_test.cpp
  LIBS qm_detect)
