# The cases left out of the Windows run, by test program: what tests a
# POSIX file system (modes, links, locks, UTF-16 files rewritten in place).
