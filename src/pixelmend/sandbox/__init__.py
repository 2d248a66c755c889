from .certificate import UnsafeCertificateDirectory
from .checks import CONFIDENCE_CHOICES, COUNTRY_CHOICES, DISPLAY_CHOICES
from .context import running, serve
from .faults import FaultPlan
from .link import Link
from .records import FileRecord, RequestRecord
from .routing import SERVICE_BASE, RefusedDestination, RequestsProxy, Router, is_loopback_host, routed
from .server import Service

__all__ = [
    "CONFIDENCE_CHOICES",
    "COUNTRY_CHOICES",
    "DISPLAY_CHOICES",
    "FaultPlan",
    "FileRecord",
    "Link",
    "RefusedDestination",
    "RequestRecord",
    "RequestsProxy",
    "Router",
    "SERVICE_BASE",
    "Service",
    "UnsafeCertificateDirectory",
    "is_loopback_host",
    "routed",
    "running",
    "serve",
]
