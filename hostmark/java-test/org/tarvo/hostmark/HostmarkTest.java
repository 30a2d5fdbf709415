package org.tarvo.hostmark;

import java.util.ArrayList;
import java.util.List;
import java.util.Objects;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.regex.Pattern;

/**
 * The Java binding against the real library: callback order and values, agreement of
 * the variants, keyed identifiers, faulty callback objects, concurrent callers, and (via
 * the test-only seam library) statuses with the high bit set.
 * Arguments: the expected plain identifier, the path of the seam library.
 */
public final class HostmarkTest {
    private static final Pattern IDENTIFIER = Pattern.compile("[0-9A-F]{8}(-[0-9A-F]{8}){4}");
    private static int checks;
    private static int failures;

    /** Records every callback in order. */
    static final class Recorder implements HostmarkCallback {
        final List<String> events = new ArrayList<>();

        @Override
        public void setMachineID(String machineId) {
            events.add("id:" + machineId);
        }

        @Override
        public void setError(long status) {
            events.add("error:" + status);
        }

        String identifier() {
            return events.isEmpty() ? "" : events.get(0).substring(3);
        }
    }

    /** Lacks setError. */
    static final class WithoutSetError {
        final List<String> events = new ArrayList<>();

        public void setMachineID(String machineId) {
            events.add("id:" + machineId);
        }
    }

    /** setError with the wrong parameter type. */
    static final class WrongSetError {
        final List<String> events = new ArrayList<>();

        public void setMachineID(String machineId) {
            events.add("id:" + machineId);
        }

        public void setError(int status) {
            events.add("error:" + status);
        }
    }

    /** setMachineID throws. */
    static final class Throwing {
        final List<String> events = new ArrayList<>();

        public void setMachineID(String machineId) {
            events.add("id:" + machineId);
            throw new IllegalStateException("refused");
        }

        public void setError(long status) {
            events.add("error:" + status);
        }
    }

    interface Call {
        void run(Object callback);
    }

    private static void check(String what, Object expected, Object actual) {
        checks++;
        if (!Objects.equals(expected, actual)) {
            failures++;
            System.out.println("FAIL: " + what + "\n  expected: " + expected + "\n  actual:   " + actual);
        }
    }

    private static String call(Call call) {
        Recorder recorder = new Recorder();
        call.run(recorder);
        check("callbacks of one call", List.of("id:" + recorder.identifier(), "error:0"), recorder.events);
        check("identifier format", true, IDENTIFIER.matcher(recorder.identifier()).matches());
        return recorder.identifier();
    }

    /** The Throwable a call let through, or null. */
    private static Throwable thrownBy(Call call, Object callback) {
        try {
            call.run(callback);
            return null;
        } catch (Throwable t) {
            return t;
        }
    }

    public static void main(String[] args) throws Exception {
        String expected = args[0];
        System.loadLibrary(Hostmark.LIBRARY);
        System.load(args[1]);

        // Each method calls setMachineID then setError(0); the variants agree.
        String plain = call(Hostmark::retrieveMachineID);
        check("plain identifier from the machine's own values", expected, plain);
        check("V1010 plain", plain, call(Hostmark::retrieveMachineIDV1010));
        String alpha = call(cb -> Hostmark.retrieveMachineIDOT("alpha", cb));
        check("keyed stable", alpha, call(cb -> Hostmark.retrieveMachineIDOT("alpha", cb)));
        check("V1010 keyed", alpha, call(cb -> Hostmark.retrieveMachineIDOTV1010("alpha", cb)));
        String beta = call(cb -> Hostmark.retrieveMachineIDOTV1010("beta", cb));
        check("keys differ", false, alpha.equals(beta));
        check("keyed differs from plain", false, alpha.equals(plain));
        String accented = call(cb -> Hostmark.retrieveMachineIDOT("\u00e9t\u00e9 \u20ac", cb));
        check("non-ASCII key differs", false, accented.equals(alpha) || accented.equals(plain));
        check("empty key is a key", false, call(cb -> Hostmark.retrieveMachineIDOT("", cb)).equals(plain));

        // A null key is reported as ERROR_INVALID_PARAMETER through the callbacks.
        Recorder nullKey = new Recorder();
        Hostmark.retrieveMachineIDOT(null, nullKey);
        check("null key", List.of("id:", "error:87"), nullKey.events);
        check("null callback is ignored", null, thrownBy(Hostmark::retrieveMachineID, null));

        // Faulty callback objects: the lookup's or the callback's exception reaches the
        // caller, and the library calls nothing further.
        Call[] calls = {Hostmark::retrieveMachineID, cb -> Hostmark.retrieveMachineIDOT("k", cb)};
        for (Call c : calls) {
            WithoutSetError missing = new WithoutSetError();
            check("missing setError", NoSuchMethodError.class, classOf(thrownBy(c, missing)));
            check("nothing called without setError", List.of(), missing.events);
            WrongSetError wrong = new WrongSetError();
            check("setError(int)", NoSuchMethodError.class, classOf(thrownBy(c, wrong)));
            check("nothing called with setError(int)", List.of(), wrong.events);
            Throwing throwing = new Throwing();
            check("throwing setMachineID", IllegalStateException.class, classOf(thrownBy(c, throwing)));
            check("setError not called after the exception", 1, throwing.events.size());
        }
        check("calls work after faulty callbacks", plain, call(Hostmark::retrieveMachineID));

        // Several threads at once all get the same identifier.
        ExecutorService pool = Executors.newFixedThreadPool(8);
        List<Future<List<String>>> results = new ArrayList<>();
        for (int t = 0; t < 8; t++) {
            final boolean secure = t % 2 == 0;
            results.add(pool.submit(() -> {
                List<String> ids = new ArrayList<>();
                for (int i = 0; i < 25; i++) {
                    Recorder r = new Recorder();
                    if (secure) {
                        Hostmark.retrieveMachineIDV1010(r);
                    } else {
                        Hostmark.retrieveMachineID(r);
                    }
                    ids.add(r.events.toString());
                }
                return ids;
            }));
        }
        String one = List.of("id:" + plain, "error:0").toString();
        for (Future<List<String>> result : results) {
            for (String events : result.get()) {
                check("concurrent call", one, events);
            }
        }
        pool.shutdown();

        // Statuses are unsigned 32-bit values: the high bit never makes a negative long.
        int[] statuses = {0x80041003, 0xFFFFFFFF, 2, 0};
        long[] longs = {0x80041003L, 0xFFFFFFFFL, 2L, 0L};
        for (int i = 0; i < statuses.length; i++) {
            Recorder r = new Recorder();
            HostmarkSeam.deliver("", statuses[i], r);
            check("status delivered", List.of("id:", "error:" + longs[i]), r.events);
        }

        System.out.println(checks - failures + " passed, " + failures + " failed");
        System.exit(failures == 0 ? 0 : 1);
    }

    private static Object classOf(Throwable t) {
        return t == null ? "nothing thrown" : t.getClass();
    }
}
