"""The public names of ``rerozer_tables.tables.inference``, under their former module name."""

from .tables.inference import (
    CATEGORY_MIN_COUNT,
    SemanticType,
    frequent_values,
    infer_semantic_type,
)

__all__ = ["CATEGORY_MIN_COUNT", "SemanticType", "frequent_values", "infer_semantic_type"]
