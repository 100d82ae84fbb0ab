// empty.cpp: keeps the test support library non-empty.
