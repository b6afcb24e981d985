"""Stand-in package for the lock modules ' tests."""
