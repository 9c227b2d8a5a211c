"""The public names of ``rerozer_tables.tables.inference``, under their former module name."""

from .tables.inference import (
    CATEGORY_MIN_COUNT,
    HIGH_CARDINALITY_MIN,
    HIGH_CARDINALITY_SHARE,
    MAX_CATEGORIES,
    SemanticType,
    frequent_values,
    high_cardinality,
    infer_semantic_type,
)

__all__ = [
    "CATEGORY_MIN_COUNT", "HIGH_CARDINALITY_MIN", "HIGH_CARDINALITY_SHARE", "MAX_CATEGORIES",
    "SemanticType", "frequent_values", "high_cardinality", "infer_semantic_type",
]
