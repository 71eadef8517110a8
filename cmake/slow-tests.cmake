# The tests that take seconds rather than milliseconds, labelled "slow" so that
# `ctest -LE slow` (scripts/test.sh quick) leaves them out. Read by ctest after the test
# discovery; times are those of the optimised build on a shared two-core machine.
set(folian_slow_tests
  PdfWrite.DocumentsPastTwoGibibytesKeepExactOffsets     # writes two 2.2 GB files
  Streaming.PeakMemoryDoesNotGrowWithThePageCount
  Inflate.CountPastTwoToThe31Fails
  # each makes and reads back dozens of files with ImageMagick and libtiff's tools
  Tiff.CompressionsMatchLibtiff Tiff.PhotometricsMatchLibtiff Tiff.FaxCodingsMatchLibtiff
  Tiff.PagesFactsAndPassthrough Tiff.HostileInputNeverCrashes)
set_tests_properties(${folian_slow_tests} PROPERTIES LABELS slow)
