"""Readers: SQLite, PostgreSQL, DuckDB and Parquet to ``Table`` objects, and
the schema rules and Arrow conversion they share."""
