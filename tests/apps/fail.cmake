# Fails a test with MESSAGE: for a test whose program could not be built.
message(FATAL_ERROR "${MESSAGE}")
