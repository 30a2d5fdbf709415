package org.tarvo.hostmark;

/**
 * The shape of the object that receives a result from {@link Hostmark}. The library
 * looks the two methods up by name and signature on the object's class, so any class
 * with these two methods works; implementing this interface is the simple way.
 */
public interface HostmarkCallback {
    /** The 44-character identifier, or the empty text when the computation failed. */
    void setMachineID(String machineId);

    /** 0 on success, else the failing platform call's status as an unsigned 32-bit value. */
    void setError(long status);
}
