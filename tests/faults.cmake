# Fault-matrix and hostile-peer integration tests.
yws_test(test_faults test_faults.cpp)
yws_test(test_hostile test_hostile.cpp)
