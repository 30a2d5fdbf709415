package org.tarvo.hostmark;

/**
 * Test-only native library (hostmark_jni_seam): hands a chosen text and status to the
 * callback glue of the library, so statuses the machine does not produce can be checked.
 */
final class HostmarkSeam {
    private HostmarkSeam() {}

    /** Runs the library's callback delivery with text and the raw 32-bit status bits. */
    static native void deliver(String text, int status, Object callback);
}
