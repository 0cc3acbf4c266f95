"""mirel.sklearn.MixedImputer's home (private): the class is documented in mirel.sklearn."""

from mirel.sklearn import MixedImputer as MixedImputer

__all__ = ["MixedImputer"]
