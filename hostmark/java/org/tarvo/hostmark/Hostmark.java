package org.tarvo.hostmark;

/**
 * The Java face of the native library TarvoHostmark_V_1_0_1_0. Every method computes the
 * machine identifier on the calling thread and calls, on the given object, first
 * setMachineID(String) and then setError(long) (see {@link HostmarkCallback}). The V1010
 * methods ask the Windows management service for an explicit proxy security setting;
 * on Linux they behave as the others.
 *
 * <p>Run as a program, prints this machine's identifier, and with an argument the keyed
 * identifier for that key; the exit status is 0 on success.
 */
public final class Hostmark {
    public static final String LIBRARY = "TarvoHostmark_V_1_0_1_0";

    private Hostmark() {}

    /** Plain identifier: SHA-1 of the machine's identity values. */
    public static native void retrieveMachineID(Object callback);

    public static native void retrieveMachineIDV1010(Object callback);

    /** Keyed identifier: HMAC-SHA1 of the plain identifier with a key derived from key. */
    public static native void retrieveMachineIDOT(String key, Object callback);

    public static native void retrieveMachineIDOTV1010(String key, Object callback);

    public static void main(String[] args) {
        System.loadLibrary(LIBRARY);
        final String[] id = {""};
        final long[] status = {-1};
        HostmarkCallback callback = new HostmarkCallback() {
            @Override
            public void setMachineID(String machineId) {
                id[0] = machineId;
            }

            @Override
            public void setError(long error) {
                status[0] = error;
            }
        };
        if (args.length > 0) {
            retrieveMachineIDOT(args[0], callback);
        } else {
            retrieveMachineID(callback);
        }
        if (status[0] != 0) {
            System.err.printf("machine identifier not available: status 0x%08X%n", status[0]);
            System.exit(1);
        }
        System.out.println(id[0]);
    }
}
